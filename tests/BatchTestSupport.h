// Old name of the batch tests' helpers in support/, kept while tests written
// before it land.
#pragma once

#include "support/Codec.h"

using testkit::FileExists;
using testkit::FolderContents;
using testkit::ReadWholeFile;
using testkit::TempDir;
using testkit::WriteTestBmp;
using testkit::WriteWholeFile;
