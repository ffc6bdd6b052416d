#include "host/frame_areas.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

int gridUp(int value)
{
    return (value + kAreaGrid - 1) / kAreaGrid * kAreaGrid;
}

PixelRect boxAround(const std::vector<PixelRect>& areas)
{
    int left = areas[0].x, top = areas[0].y, right = left, bottom = top;
    for (const PixelRect& a : areas) {
        left = std::min(left, a.x);
        top = std::min(top, a.y);
        right = std::max(right, a.x + a.width);
        bottom = std::max(bottom, a.y + a.height);
    }
    return {left, top, right - left, bottom - top};
}

}  // namespace

AreaPlan planAreas(const std::vector<PixelRect>& changed, int width, int height)
{
    AreaPlan plan;
    if (width <= 0 || height <= 0)
        return plan;
    const int columns = gridUp(width) / kAreaGrid, rows = gridUp(height) / kAreaGrid;
    std::vector<uint8_t> cells(size_t(columns) * size_t(rows), 0);
    long covered = 0;
    for (const PixelRect& part : changed) {
        // Clipped first: a desktop may report parts past a screen that just shrank.
        int x0 = std::max(0, part.x), y0 = std::max(0, part.y);
        int x1 = std::min(width, part.x + std::max(0, part.width));
        int y1 = std::min(height, part.y + std::max(0, part.height));
        if (x1 <= x0 || y1 <= y0)
            continue;
        for (int row = y0 / kAreaGrid; row < gridUp(y1) / kAreaGrid; ++row)
            for (int column = x0 / kAreaGrid; column < gridUp(x1) / kAreaGrid; ++column) {
                uint8_t& cell = cells[size_t(row) * size_t(columns) + size_t(column)];
                covered += cell == 0;
                cell = 1;
            }
    }
    if (covered * 100 > long(columns) * rows * kWholePercent) {
        plan.whole = true;
        return plan;
    }
    // Row runs of covered cells; a run as wide as one that ended on the row above extends it.
    std::vector<PixelRect> open;  // in cells, still growing downwards
    std::vector<PixelRect> done;
    for (int row = 0; row <= rows; ++row) {
        std::vector<PixelRect> runs;
        for (int column = 0; row < rows && column < columns;) {
            if (!cells[size_t(row) * size_t(columns) + size_t(column)]) {
                ++column;
                continue;
            }
            int start = column;
            while (column < columns && cells[size_t(row) * size_t(columns) + size_t(column)])
                ++column;
            runs.push_back({start, row, column - start, 1});
        }
        std::vector<PixelRect> still;
        for (PixelRect& run : runs) {
            auto above = std::find_if(open.begin(), open.end(),
                                      [&](const PixelRect& o) { return o.x == run.x && o.width == run.width; });
            if (above != open.end()) {
                ++above->height;
                still.push_back(*above);
                open.erase(above);
            } else {
                still.push_back(run);
            }
        }
        done.insert(done.end(), open.begin(), open.end());
        open = still;
    }
    for (PixelRect& cellRect : done) {
        int x = cellRect.x * kAreaGrid, y = cellRect.y * kAreaGrid;
        plan.areas.push_back({x, y, std::min(width, x + cellRect.width * kAreaGrid) - x,
                              std::min(height, y + cellRect.height * kAreaGrid) - y});
    }
    if (plan.areas.size() > size_t(kMaxPlannedAreas))
        plan.areas.assign(1, boxAround(plan.areas));
    // The grid only decides what goes together: each area is cut back to the changed pixels
    // in it, so no unchanged margin is encoded again.
    for (PixelRect& area : plan.areas) {
        std::vector<PixelRect> inside;
        for (const PixelRect& part : changed) {
            int x0 = std::max(area.x, part.x), y0 = std::max(area.y, part.y);
            int x1 = std::min(area.x + area.width, part.x + part.width);
            int y1 = std::min(area.y + area.height, part.y + part.height);
            if (x1 > x0 && y1 > y0)
                inside.push_back({x0, y0, x1 - x0, y1 - y0});
        }
        if (!inside.empty())
            area = boxAround(inside);
    }
    return plan;
}

Atlas packAtlas(const std::vector<PixelRect>& areas)
{
    Atlas atlas;
    if (areas.empty())
        return atlas;
    std::vector<size_t> order(areas.size());
    long slotsArea = 0;
    int widest = 0;
    for (size_t i = 0; i < areas.size(); ++i) {
        order[i] = i;
        slotsArea += long(gridUp(areas[i].width)) * gridUp(areas[i].height);
        widest = std::max(widest, gridUp(areas[i].width));
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return areas[a].height > areas[b].height; });
    // Roughly square, so that neither side nears the 65535 a JPEG allows.
    atlas.width = std::max(widest, gridUp(int(std::ceil(std::sqrt(double(slotsArea))))));
    // In the order given: where areas overlap, the later one is laid last.
    atlas.areas.resize(areas.size());
    int x = 0, y = 0, shelf = 0;
    for (size_t i : order) {
        const PixelRect& area = areas[i];
        int slotWidth = gridUp(area.width), slotHeight = gridUp(area.height);
        if (x + slotWidth > atlas.width) {
            x = 0;
            y += shelf;
            shelf = 0;
        }
        FrameArea& placed = atlas.areas[i];
        placed.place = area;
        placed.sourceX = x;
        placed.sourceY = y;
        x += slotWidth;
        shelf = std::max(shelf, slotHeight);
    }
    atlas.height = y + shelf;
    return atlas;
}

void fillAtlas(const uint8_t* pixels, int pitch, const Atlas& atlas, std::vector<uint8_t>& out)
{
    const size_t stride = size_t(atlas.width) * 4;
    out.assign(stride * size_t(atlas.height), 0);
    for (const FrameArea& area : atlas.areas) {
        const PixelRect& place = area.place;
        int slotWidth = gridUp(place.width), slotHeight = gridUp(place.height);
        for (int row = 0; row < slotHeight; ++row) {
            int from = std::min(row, place.height - 1);
            const uint8_t* source = pixels + size_t(place.y + from) * size_t(pitch) + size_t(place.x) * 4;
            uint8_t* target = out.data() + size_t(area.sourceY + row) * stride + size_t(area.sourceX) * 4;
            std::memcpy(target, source, size_t(place.width) * 4);
            for (int column = place.width; column < slotWidth; ++column)
                std::memcpy(target + size_t(column) * 4, target + size_t(place.width - 1) * 4, 4);
        }
    }
}
