// PNG writer for 24-bit pictures (no Qt needed by the batch tools); compression by ISA-L's igzip.
#pragma once

#include "image/GroundRectifier.h"

#include <cstdint>
#include <functional>
#include <string>

// Writes aHeight rows of aWidth pixels, each row aStride bytes apart starting at aBits, pixels as
// blue, green, red bytes, to an 8-bit PNG: grey when every pixel is grey, RGB otherwise. Throws
// std::runtime_error naming the file on failure. Compressed for speed (up filter, the fastest
// level): the pixels are exact, the file is not the smallest possible.
void WritePngBgr(const std::string& aFileName, const uint8_t* aBits, int aWidth, int aHeight, int aStride);

// The same file as WritePngBgr writes for aRectifier.Rectify() of those rows (aWidth must be at
// least aRectifier.RawWidth(), else std::invalid_argument), made row by row without the rectified
// picture: a grey region is rectified one byte per pixel straight into a grey PNG. aTurned: of the
// picture turned 180 degrees (aWidth columns), without a turned copy.
void WriteRectifiedPngBgr(const std::string& aFileName, const TGroundRectifier& aRectifier,
                          const uint8_t* aBits, int aWidth, int aHeight, int aStride, bool aTurned = false);

// Where the rows of a PNG come from: called for rows 0 .. height-1 in that order, it returns row
// aY (width bytes for grey, 3 * width bytes blue, green, red for colour), either written into
// aScratch (room for 3 * width bytes) or anywhere else that stays valid until the next call.
using TPngRows = std::function<const uint8_t*(int aY, uint8_t* aScratch)>;

// Writes aHeight rows of aWidth pixels from aRows as an 8-bit grey (aGrey) or RGB PNG, compressed
// as WritePngBgr compresses. Throws std::runtime_error naming the file on failure (a picture
// without pixels among them; no file is left then), and passes on what aRows throws (no file is
// left either). Each calling thread keeps about 1.6 MB of working memory until it ends.
void WritePngRows(const std::string& aFileName, int aWidth, int aHeight, bool aGrey, const TPngRows& aRows);

// How WritePngRowsAs takes and marks colour rows.
struct TPngRowsForm {
    bool RedFirst = false;         // colour rows come red, green, blue (else blue, green, red)
    bool BlackTransparent = false; // pixels of value 0 (grey) or 0, 0, 0 (RGB) are transparent
};
// WritePngRows with colour rows and transparency as aForm says.
void WritePngRowsAs(const std::string& aFileName, int aWidth, int aHeight, bool aGrey, const TPngRows& aRows,
                    TPngRowsForm aForm);
