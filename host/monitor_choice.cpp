#include "host/monitor_choice.h"

#include <algorithm>
#include <cstdint>
#include <tuple>

namespace {

// Without the "\\.\" of a Windows device name.
std::string plainName(const std::string& name)
{
    return name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
}

bool sameIgnoringCase(const std::string& a, const std::string& b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

bool parseMonitorChoice(const std::string& text, MonitorChoice& out)
{
    if (text.empty())
        return false;
    if (text == "all") {
        out = MonitorChoice();
        return true;
    }
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (text.size() > 3 || std::stoi(text) < 1)
            return false;
        out = {MonitorChoice::Number, std::stoi(text), ""};
        return true;
    }
    out = {MonitorChoice::Name, 0, text};
    return true;
}

void orderMonitors(std::vector<MonitorInfo>& monitors)
{
    std::stable_sort(monitors.begin(), monitors.end(), [](const MonitorInfo& a, const MonitorInfo& b) {
        return std::tie(a.rect.x, a.rect.y, a.name) < std::tie(b.rect.x, b.rect.y, b.name);
    });
}

bool chooseMonitor(const MonitorChoice& choice, const std::vector<MonitorInfo>& monitors, int& index,
                   std::string& error)
{
    index = -1;
    if (choice.kind == MonitorChoice::All)
        return true;
    if (choice.kind == MonitorChoice::Number && choice.number >= 1 && size_t(choice.number) <= monitors.size()) {
        index = choice.number - 1;
        return true;
    }
    if (choice.kind == MonitorChoice::Name) {
        for (int pass = 0; pass < 2 && index < 0; ++pass)
            for (size_t i = 0; i < monitors.size() && index < 0; ++i) {
                const std::string& name = monitors[i].name;
                if (pass == 0 ? name == choice.name : sameIgnoringCase(plainName(name), plainName(choice.name)))
                    index = int(i);
            }
        if (index >= 0)
            return true;
    }
    std::string asked = choice.kind == MonitorChoice::Number ? std::to_string(choice.number) : "'" + choice.name + "'";
    error = "no monitor " + asked + "; the monitors here (--monitor NUMBER or NAME): " + listMonitors(monitors);
    return false;
}

std::string describeMonitor(const MonitorInfo& monitor)
{
    auto signed_ = [](int value) { return (value < 0 ? "" : "+") + std::to_string(value); };
    return monitor.name + " " + std::to_string(monitor.rect.width) + "x" + std::to_string(monitor.rect.height) +
           signed_(monitor.rect.x) + signed_(monitor.rect.y);
}

std::string listMonitors(const std::vector<MonitorInfo>& monitors)
{
    std::string out;
    for (size_t i = 0; i < monitors.size(); ++i)
        out += (i ? ", " : "") + std::to_string(i + 1) + ": " + describeMonitor(monitors[i]) +
               (monitors[i].primary ? " (primary)" : "");
    return out.empty() ? "none" : out;
}

PixelRect rectInMonitor(const PixelRect& rect, const PixelRect& monitor)
{
    // 64 bits: a rectangle from an X region may lie anywhere in 16-bit space, a sum past int.
    int64_t left = std::max<int64_t>(rect.x, monitor.x), top = std::max<int64_t>(rect.y, monitor.y);
    int64_t right = std::min<int64_t>(int64_t(rect.x) + rect.width, int64_t(monitor.x) + monitor.width);
    int64_t bottom = std::min<int64_t>(int64_t(rect.y) + rect.height, int64_t(monitor.y) + monitor.height);
    if (right <= left || bottom <= top)
        return {};
    return {int(left - monitor.x), int(top - monitor.y), int(right - left), int(bottom - top)};
}
