#include "wire/frame_extension.h"

#include <cstring>

#include "wire/frame_wire.h"

namespace {

constexpr size_t kAreaSize = 12;  // six 16-bit words

// A payload reader that refuses to read past the end.
struct Reader {
    const uint8_t* at;
    size_t left;
    bool take16(int& value)
    {
        if (left < 2)
            return false;
        value = readLittleEndian16(at);
        at += 2;
        left -= 2;
        return true;
    }
};

std::vector<uint8_t> segmentWith(const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> segment = {0xFF, kExtensionMarker, 0, 0};
    size_t length = payload.size() + 2;  // the length counts itself
    segment[2] = uint8_t(length >> 8);   // big-endian, as every JPEG segment length
    segment[3] = uint8_t(length);
    segment.insert(segment.end(), payload.begin(), payload.end());
    return segment;
}

std::vector<uint8_t> payloadOf(uint8_t kind)
{
    std::vector<uint8_t> payload(kExtensionTag, kExtensionTag + kExtensionTagSize);
    payload.push_back(kind);
    return payload;
}

void put16(std::vector<uint8_t>& out, int value)
{
    uint8_t word[2];
    writeLittleEndian16(word, uint16_t(value));
    out.insert(out.end(), word, word + 2);
}

bool inside(int at, int length, int limit)
{
    return at >= 0 && length >= 1 && at <= limit && length <= limit - at;
}

}  // namespace

bool readExtensionSegment(const uint8_t* payload, size_t size, FrameRecords& records, std::string& problem)
{
    if (size < kExtensionTagSize || std::memcmp(payload, kExtensionTag, kExtensionTagSize) != 0)
        return true;
    Reader in{payload + kExtensionTagSize, size - kExtensionTagSize};
    if (in.left < 1) {
        problem = "record without a kind";
        return false;
    }
    uint8_t kind = *in.at++;
    --in.left;
    if (kind == kRecordOffer) {
        int lowest = 0, highest = 0;
        if (records.offered) {
            problem = "two offers";
            return false;
        }
        if (!in.take16(lowest) || !in.take16(highest)) {
            problem = "offer cut short";
            return false;
        }
        records.offered = true;
        records.lowest = uint16_t(lowest);
        records.highest = uint16_t(highest);
        return true;
    }
    if (kind != kRecordAreas) {
        problem = "record of unknown kind " + std::to_string(kind);
        return false;
    }
    if (records.hasAreas) {
        problem = "two area records";
        return false;
    }
    int count = 0;
    if (!in.take16(records.pictureWidth) || !in.take16(records.pictureHeight) || !in.take16(count)) {
        problem = "area record cut short";
        return false;
    }
    if (count < 1 || count > kMaxFrameAreas) {
        problem = "area count " + std::to_string(count);
        return false;
    }
    if (in.left < size_t(count) * kAreaSize) {
        problem = "area record ends inside an area";
        return false;
    }
    records.areas.resize(size_t(count));
    for (FrameArea& area : records.areas) {
        in.take16(area.place.x);
        in.take16(area.place.y);
        in.take16(area.place.width);
        in.take16(area.place.height);
        in.take16(area.sourceX);
        in.take16(area.sourceY);
    }
    records.hasAreas = true;
    return true;
}

bool checkFrameAreas(const FrameRecords& records, int imageWidth, int imageHeight, int pictureWidth,
                     int pictureHeight, std::string& problem)
{
    if (records.pictureWidth != pictureWidth || records.pictureHeight != pictureHeight) {
        problem = "areas for a " + std::to_string(records.pictureWidth) + "x" + std::to_string(records.pictureHeight) +
                  " picture";
        return false;
    }
    for (size_t i = 0; i < records.areas.size(); ++i) {
        const FrameArea& a = records.areas[i];
        bool fits = inside(a.place.x, a.place.width, pictureWidth) && inside(a.place.y, a.place.height, pictureHeight) &&
                    inside(a.sourceX, a.place.width, imageWidth) && inside(a.sourceY, a.place.height, imageHeight);
        if (!fits) {
            problem = "area " + std::to_string(i) + " (" + std::to_string(a.place.width) + "x" +
                      std::to_string(a.place.height) + " at " + std::to_string(a.place.x) + "," +
                      std::to_string(a.place.y) + ") outside the picture or the image";
            return false;
        }
    }
    return true;
}

uint16_t chooseVersion(const FrameRecords& records)
{
    if (!records.offered || records.lowest > kExtensionVersion || records.highest < kExtensionVersion)
        return 0;
    return kExtensionVersion;
}

bool readAcceptance(uint32_t second, uint32_t third, uint16_t highest, uint16_t& version)
{
    version = 0;
    if (second == 0 && third == 0)
        return true;
    if (second != kAcceptanceTag || third < 1 || third > highest)
        return false;
    version = uint16_t(third);
    return true;
}

std::vector<uint8_t> offerSegment(uint16_t lowest, uint16_t highest)
{
    std::vector<uint8_t> payload = payloadOf(kRecordOffer);
    put16(payload, lowest);
    put16(payload, highest);
    return segmentWith(payload);
}

std::vector<uint8_t> areasSegment(int pictureWidth, int pictureHeight, const std::vector<FrameArea>& areas)
{
    std::vector<uint8_t> payload = payloadOf(kRecordAreas);
    size_t count = areas.size() < size_t(kMaxFrameAreas) ? areas.size() : size_t(kMaxFrameAreas);
    put16(payload, pictureWidth);
    put16(payload, pictureHeight);
    put16(payload, int(count));
    for (size_t i = 0; i < count; ++i) {
        const FrameArea& a = areas[i];
        for (int word : {a.place.x, a.place.y, a.place.width, a.place.height, a.sourceX, a.sourceY})
            put16(payload, word);
    }
    return segmentWith(payload);
}

bool insertSegment(const uint8_t* jpeg, size_t size, const std::vector<uint8_t>& segment, std::vector<uint8_t>& out)
{
    if (size < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    // JFIF wants its APP0 right after the SOI: ours goes behind it.
    size_t at = 2;
    if (size >= 6 && jpeg[2] == 0xFF && jpeg[3] == 0xE0) {
        size_t length = size_t(jpeg[4]) << 8 | jpeg[5];
        if (length >= 2 && 4 + length <= size)
            at = 4 + length;
    }
    out.clear();
    out.reserve(size + segment.size());
    out.insert(out.end(), jpeg, jpeg + at);
    out.insert(out.end(), segment.begin(), segment.end());
    out.insert(out.end(), jpeg + at, jpeg + size);
    return true;
}
