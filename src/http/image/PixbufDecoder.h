#pragma once

// gdk-pixbuf's loaders, for the formats whose loader's cost is linear in the body: the body
// given in pieces, the rows it hands out counted, its bitmap copied out as tight RGBA.
#include "http/image/ImageFormat.h"

namespace telvo::image {

// When the rows a loader hands out tell that it read the image to its end.
enum class RowsTell {
    WhileFed,  // rows come as the data is read; closing may make up the rest (JPEG does)
    AtClose,   // the whole data is decoded when the loader is closed
};

// Decodes the data up to the survey's end, less what it withholds, with the loader of that
// type; an image larger than the survey's most pixels is refused before its pixels are made.
Decoded decodeWithPixbuf(const char* type, const Bytes& data, const Survey& survey,
                         RowsTell rowsTell);

}  // namespace telvo::image
