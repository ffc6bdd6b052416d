// A peer's extension bytes as either side reads them: a ControlMessage's spare words
// through the acceptance check (bytes 0-11), and an APP15 payload (from byte 16) through
// the record reader and the area check (bytes 12-15 pick the image's size), written out
// again and read back the same.
#include <cstdlib>
#include <string>

#include "wire/frame_extension.h"
#include "wire/frame_wire.h"

namespace {

void check(bool holds)
{
    if (!holds)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kControlMessageSize + 4)
        return 0;
    ControlMessage control = decodeControlMessage(data);
    uint16_t version = 0;
    if (readAcceptance(control.second, control.third, kExtensionVersion, version))
        check(version <= kExtensionVersion && (version == 0) == (control.second == 0 && control.third == 0));

    const int imageWidth = 1 + readLittleEndian16(data + 12), imageHeight = 1 + readLittleEndian16(data + 14);
    FrameRecords records;
    std::string problem;
    if (!readExtensionSegment(data + 16, size - 16, records, problem)) {
        check(!problem.empty());
        return 0;
    }
    if (!records.hasAreas)
        return 0;
    check(!records.areas.empty() && records.areas.size() <= size_t(kMaxFrameAreas));
    if (checkFrameAreas(records, imageWidth, imageHeight, records.pictureWidth, records.pictureHeight, problem))
        for (const FrameArea& a : records.areas)
            check(a.place.width > 0 && a.place.height > 0 && a.place.x + a.place.width <= records.pictureWidth &&
                  a.place.y + a.place.height <= records.pictureHeight && a.sourceX + a.place.width <= imageWidth &&
                  a.sourceY + a.place.height <= imageHeight);
    std::vector<uint8_t> segment = areasSegment(records.pictureWidth, records.pictureHeight, records.areas);
    FrameRecords again;
    check(readExtensionSegment(segment.data() + 4, segment.size() - 4, again, problem));
    check(again.areas.size() == records.areas.size() && again.pictureWidth == records.pictureWidth);
    for (size_t i = 0; i < again.areas.size(); ++i)
        check(again.areas[i].place == records.areas[i].place && again.areas[i].sourceX == records.areas[i].sourceX &&
              again.areas[i].sourceY == records.areas[i].sourceY);
    return 0;
}
