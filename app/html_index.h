#pragma once
// The HTML thumbnail index: "index.html" in the output folder, UTF-8 text,
// one table cell per input linking its thumbnail to the full-size output.
// File names in addresses are the names on disk, so their bytes outside
// ASCII are always percent-encoded. Every text taken from a file reaches the
// page escaped: a name may hold markup.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillon {

// Percent-encodes every byte but letters, digits and !'()*-./:\_~ .
void urlEncodeInPlace(std::string& text);
// Percent-encodes the bytes outside ASCII only.
void urlEncodeNonAsciiInPlace(std::string& text);

std::string indexHead(std::u16string_view bodyAttributes, int32_t spacing);
std::string indexTail();

// The thumbnail size for an image of w x h in the box X x Y, keeping the
// aspect ratio; false when the image stays as it is.
bool indexThumbnailSize(uint32_t w, uint32_t h, uint32_t boxX, uint32_t boxY, bool onlyDown, uint32_t* newW,
                        uint32_t* newH);

struct IndexCell {
    // Job options.
    int32_t linkUrl = 1;            // index.eLinkURL: 0 none, 1 relative, 2 given prefix
    std::u16string linkPrefix;      // index.szLinkURL
    int32_t iconUrl = 1;            // index.eIconURL: 0 none, 1 icon sub-folder, 2 given prefix
    std::u16string iconPrefix;      // index.szIconURL
    std::u16string iconSubdir;      // the thumbnails' folder, relative to the index's
    std::u16string linkFolder;      // output 0's folder, relative to the index's
    bool useValidUris = false;      // index.bUseValidURIs
    bool linkToNew = false;         // index.bLinkToNew
    bool imageBorder = false;       // index.bImageBorder
    bool fileName = false;          // index.bFileName
    bool fileExt = false;           // index.bFileExt
    bool imageRes = false;          // index.bImageRes
    int32_t columns = 1;            // index.iCols
    // This cell.
    std::u16string thumbnailName;   // the thumbnail's file name
    std::u16string fullExtension;   // the extension of output 0's format
    std::u16string sourceName;      // the source's file name
    uint32_t thumbWidth = 0, thumbHeight = 0;
    bool resolutionKnown = false;   // the source could be opened again
    uint32_t width = 0, height = 0, bits = 0;
};

// The lines of one cell (each ending in CR LF); advances the column counter.
std::string indexCellLines(const IndexCell& cell, int32_t& column);

// Writes the page as an output is written: under a temporary name, then
// renamed over the old one, with the permissions an output gets. False
// when it cannot be written; an old page then stays as it was.
bool writeIndexPage(const std::filesystem::path& page, std::string_view text);

} // namespace quillon
