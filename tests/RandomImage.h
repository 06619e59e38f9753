// Old name of support/Images.h, kept while tests written before it land.
#pragma once

#include "support/Images.h"

using testkit::FillRandom;
using testkit::PaddingIsClear;
using testkit::PixelValue;
