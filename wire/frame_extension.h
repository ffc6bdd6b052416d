// The frame extension our hosts offer and our viewer takes up (docs/protocol.md): records
// carried in an APP15 segment of a frame's JPEG, which any decoder skips, and the viewer's
// acceptance in the two words of MSG_NEXT_FRAME that are otherwise zero.
//
// Offer (host, in every frame it sends for a plain request): the versions it speaks.
// Acceptance (viewer, in MSG_NEXT_FRAME): word 1 kAcceptanceTag, word 2 the version.
// Areas (host, only in the answer to an accepting request): the frame's image is an atlas
// of the screen's changed parts, each laid at its place in the picture the viewer shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint8_t kExtensionMarker = 0xEF;  // APP15
// The segment's payload begins with these 7 bytes ("TAVIMO" and a zero byte).
constexpr char kExtensionTag[] = "TAVIMO";
constexpr size_t kExtensionTagSize = sizeof kExtensionTag;
// Word 1 of an accepting MSG_NEXT_FRAME: the bytes 'T' 'V' 'X' '1' on the wire.
constexpr uint32_t kAcceptanceTag = 0x31585654;
// Version 1: one trip per frame and areas.
constexpr uint16_t kExtensionVersion = 1;
// More areas than this in one frame are a broken host: merging keeps ours far below.
constexpr int kMaxFrameAreas = 1024;

enum : uint8_t {
    kRecordOffer = 1,
    kRecordAreas = 2,
};

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect& o) const
    {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
};

// One changed part: `place` in the picture, taken from (sourceX, sourceY) of the image.
struct FrameArea {
    PixelRect place;
    int sourceX = 0;
    int sourceY = 0;
};

struct FrameRecords {
    bool offered = false;   // an offer was read
    uint16_t lowest = 0;    // the versions it names
    uint16_t highest = 0;
    bool hasAreas = false;  // the frame's image is an atlas of `areas`
    int pictureWidth = 0;   // the size of the picture the areas go into
    int pictureHeight = 0;
    std::vector<FrameArea> areas;
};

// Reads one APP15 payload (what follows the segment's length). A payload without our tag
// is someone else's and is ignored (true, nothing read); ours must be whole and known.
// False with `problem` set for a record that is cut short, of an unknown kind, with no
// areas or too many, or a second record of a kind already read.
bool readExtensionSegment(const uint8_t* payload, size_t size, FrameRecords& records, std::string& problem);

// Whether the areas fit: each of at least one pixel, inside the picture and inside the
// image it is taken from. The picture is the one the viewer shows (the first frame's size).
bool checkFrameAreas(const FrameRecords& records, int imageWidth, int imageHeight, int pictureWidth,
                     int pictureHeight, std::string& problem);

// The version a viewer of `kExtensionVersion` takes from an offer; 0 when none fits.
uint16_t chooseVersion(const FrameRecords& records);

// What an MSG_NEXT_FRAME asks for: 0 a plain frame, else the accepted version.
// False for words that are neither zero nor an acceptance of a version `highest` knows.
bool readAcceptance(uint32_t second, uint32_t third, uint16_t highest, uint16_t& version);

// Whole segments, marker and length included, for insertSegment.
std::vector<uint8_t> offerSegment(uint16_t lowest, uint16_t highest);
// Up to kMaxFrameAreas areas (what fits in one segment).
std::vector<uint8_t> areasSegment(int pictureWidth, int pictureHeight, const std::vector<FrameArea>& areas);

// The JPEG with `segment` put after its SOI (and the JFIF APP0 that follows it, if any).
// False when `jpeg` does not start with an SOI.
bool insertSegment(const uint8_t* jpeg, size_t size, const std::vector<uint8_t>& segment, std::vector<uint8_t>& out);
