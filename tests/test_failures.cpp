// Every failure leaves a short text saying why, where it happened: the batch
// report and --info show it instead of a guess.
#include "CRaster.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "support/Codec.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace testkit;

namespace {

class DecodeFailures : public ::testing::TestWithParam<const ImageFormat*> {};

TEST_P(DecodeFailures, LeaveText) {
    const ImageType type = GetParam()->type;
    const Bytes file = SampleFile(*GetParam());
    if (!file.empty()) {
        CRaster whole;
        ASSERT_TRUE(DecodeBytes(whole, file, type)) << whole.LastErrorText();
    }
    // Cuts of a format we cannot make a sample of are left out.
    const auto cut = [&](size_t n) { return Bytes(file.begin(), file.begin() + long(std::min(n, file.size()))); };
    struct Case {
        const char* what;
        Bytes bytes;
        bool mustFail; // a cut into the data may still give a partial picture
    };
    const Case cases[] = {
        {"empty file", {}, true},
        {"wrong signature", SampleFile(*FindImageFormat(type == kTypeBmp ? kTypeGif : kTypeBmp)),
         true},
        {"truncated header", cut(1), true},
        {"truncated header", cut(3), !file.empty()},
        {"truncated header", cut(8), false},
        {"truncated data", cut(file.size() / 2), false},
        {"truncated data", cut(file.size() - 1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRaster image;
        const bool ok = DecodeOrFailCleanly(image, c.bytes, type);
        if (c.mustFail) {
            EXPECT_FALSE(ok);
        }
    }
}

// A file cut at a tenth, half or nine tenths of its bytes either fails with
// a text or keeps a picture that says it was cut short: never a silent success.
TEST_P(DecodeFailures, CutFilesSayTheyWereCut) {
    const Bytes file = SampleFile(*GetParam());
    if (file.empty()) GTEST_SKIP() << "no sample of this type";
    for (const int percent : {10, 50, 90}) {
        SCOPED_TRACE(std::to_string(percent) + "%");
        const Bytes cut(file.begin(), file.begin() + long(file.size() * percent / 100));
        CRaster image;
        if (!DecodeOrFailCleanly(image, cut, GetParam()->type)) continue;
        const auto& said = image.Warnings();
        EXPECT_TRUE(std::any_of(said.begin(), said.end(),
                                [](const std::string& w) { return w.starts_with("input cut short"); }))
            << "decoded " << image.GetWidth() << " x " << image.GetHeight() << " without a word";
    }
}

// The table's own entry points with nothing to work on: no stream, or (to
// write) no picture. Each refuses, and says why.
TEST_P(DecodeFailures, NoStreamSaysWhy) {
    CRaster image;
    EXPECT_FALSE(GetParam()->decode(image, nullptr, GetParam()->type, DecodeRequest(), false));
    EXPECT_STRNE(image.LastErrorText(), "");
}

// Streams that fill up anywhere in the file.
class EncodeFailures : public ::testing::TestWithParam<const ImageFormat*> {};

TEST_P(EncodeFailures, LeaveText) {
    CRaster image = SamplePicture(SampleDepth(*GetParam()));
    ExpectFailedWritesFail(image, GetParam()->type, 2);
}

TEST_P(EncodeFailures, NoStreamOrNoPictureSaysWhy) {
    const ImageFormat& f = *GetParam();
    CRaster image = SamplePicture(SampleDepth(f)), empty;
    MemoryImageStream stream;
    ASSERT_TRUE(stream.Open());
    struct Case {
        const char* what;
        CRaster& source;
        ImageStream* to;
    } const cases[] = {{"no stream", image, nullptr}, {"no picture", empty, &stream}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(f.encode(c.source, c.to, f.type, EncodeRequest::Of(c.source, f.type)));
        EXPECT_STRNE(c.source.LastErrorText(), "");
    }
    // A file that cannot be made gives the system's reason.
    EXPECT_FALSE(image.SaveFile("/nonexistent-folder/out", f.type));
    EXPECT_STREQ(image.LastErrorText(), "No such file or directory");
}

std::string FormatName(const ::testing::TestParamInfo<const ImageFormat*>& info) {
    return info.param->name;
}

// Every row of the format table; the writable ones for the writers.
std::vector<const ImageFormat*> Formats(bool writableOnly) {
    std::vector<const ImageFormat*> rows;
    for (const ImageFormat& f : ImageFormats())
        if (!writableOnly || f.writable) rows.push_back(&f);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodeFailures, ::testing::ValuesIn(Formats(false)), FormatName);
INSTANTIATE_TEST_SUITE_P(Formats, EncodeFailures, ::testing::ValuesIn(Formats(true)), FormatName);

} // namespace
