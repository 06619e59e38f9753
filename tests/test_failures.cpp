// Every failure leaves a short text saying why, where it happened: the batch
// report and --info show it instead of a guess.
#include "CRaster.h"
#include "ImageType.h"
#include "support/Codec.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testkit;

namespace {

class DecodeFailures : public ::testing::TestWithParam<ImageType> {};

TEST_P(DecodeFailures, LeaveText) {
    const ImageType type = GetParam();
    const Bytes file = SampleFile(type);
    CRaster whole;
    ASSERT_TRUE(DecodeBytes(whole, file, type)) << whole.LastErrorText();
    const auto cut = [&](size_t n) { return Bytes(file.begin(), file.begin() + long(n)); };
    struct Case {
        const char* what;
        Bytes bytes;
        bool mustFail; // a cut into the data may still give a partial picture
    };
    const Case cases[] = {
        {"empty file", {}, true},
        {"wrong signature", SampleFile(type == kTypeBmp ? kTypeGif : kTypeBmp), true},
        {"truncated header", cut(1), true},
        {"truncated header", cut(3), true},
        {"truncated header", cut(8), false},
        {"truncated data", cut(file.size() / 2), false},
        {"truncated data", cut(file.size() - 1), false},
    };
    for (const Case& c : cases) {
        CRaster image;
        const bool ok = DecodeBytes(image, c.bytes, type);
        if (c.mustFail) {
            EXPECT_FALSE(ok) << c.what;
        }
        if (!ok) {
            EXPECT_STRNE(image.LastErrorText(), "") << c.what << ", " << c.bytes.size() << " bytes";
        }
    }
}

// Streams that fill up anywhere in the file.
class EncodeFailures : public ::testing::TestWithParam<ImageType> {};

TEST_P(EncodeFailures, LeaveText) {
    CRaster image = SamplePicture(SampleDepth(GetParam()));
    ExpectFailedWritesFail(image, GetParam(), 2);
}

std::string TypeName(const ::testing::TestParamInfo<ImageType>& info) {
    return ImageTypeName(info.param);
}

std::vector<ImageType> Types(bool writableOnly) {
    std::vector<ImageType> types;
    for (ImageType t = 1; t < kTypeCount; ++t)
        if (!writableOnly || t != kTypeMetafile) types.push_back(t);
    return types;
}

INSTANTIATE_TEST_SUITE_P(Types, DecodeFailures, ::testing::ValuesIn(Types(false)), TypeName);
INSTANTIATE_TEST_SUITE_P(Types, EncodeFailures, ::testing::ValuesIn(Types(true)), TypeName);

} // namespace
