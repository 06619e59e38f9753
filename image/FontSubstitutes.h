// The one table of Windows face names and the installed faces that stand in
// for them here: the stamp's fonts, metafile text and the window's Qt fonts
// all resolve names through it.
#pragma once

#include <span>
#include <string>

struct FontSubstitute {
    const char* face;      // as Windows programs and files name it
    const char* installed; // metric-compatible or look-alike face installed here
    const char* fallback;  // where that one is missing
};

std::span<const FontSubstitute> FontSubstitutes();

// The face name a Windows face resolves to here (any case), or the name itself.
std::string SubstituteFaceName(const std::string& face);
