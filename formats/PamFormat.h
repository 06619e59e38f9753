// PAM (P7) pictures, read straight into a picture's rows.
#pragma once

#include "CRaster.h"
#include "ImageStream.h"
#include "ImageType.h"

#include <string>

// False with a message in *error.
bool ReadPam(ImageStream* stream, CRaster* out, ImageType type, std::string* error);
