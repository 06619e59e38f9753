// Camera orientation (Exif 1..8): what the stored pixels need to be shown
// upright.
#pragma once

#include "CRaster.h"

// Turns and mirrors the pixels upright and sets the orientation to 1. False
// when memory ran out (the image is then unchanged or partly turned).
bool TurnUpright(CRaster& image);

// Orientations 5 to 8 show the picture with width and height exchanged.
bool SwapsSides(uint8_t orientation);

// Width and height as the picture is shown.
void UprightSize(const CRaster& image, uint32_t* width, uint32_t* height);
