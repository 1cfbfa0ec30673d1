// Damaged copies of the compressed samples: bytes changed at random or the file cut short.
// Testing such a copy ends in success, a refusal or "damaged", never in a crash, a hang or any
// other outcome, and a failed extraction leaves nothing behind.
#include "BiTestUtil.h"
#include "Extractor.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace bi {
namespace {

using namespace test;
using namespace quor::test;

TEST(BiFuzzTest, DamagedSamplesEndInSuccessRefusalOrDamage) {
    // Every decoder path: both LZ formats, their filters, PPMd, solid streams, BLAKE2sp.
    const wchar_t* samples[] = {
        L"rar5_compressed_worked_example.rar",
        L"test_read_format_rar5_compressed.rar",
        L"test_read_format_rar5_win32.rar",
        L"test_read_format_rar5_solid.rar",
        L"test_read_format_rar5_blake2.rar",
        L"test_read_format_rar5_arm.rar",
        L"rar5_generated_e8e9.rar",
        L"test_read_format_rar3_lowdist_reset.rar",
        L"test_read_format_rar_compress_normal.rar",
        L"test_read_format_rar_compress_best.rar",
        L"test_read_format_rar_filter.rar",
        L"test_read_format_rar_unicode.rar",
    };
    constexpr int kRunsPerSample = 250;
    std::mt19937 random(20261207);
    TempDir dir;
    const std::wstring path = dir / L"damaged.rar";
    int extractions = 0;
    for (const wchar_t* sample : samples) {
        SCOPED_TRACE(Narrow(sample));
        const auto original = ReadBytes(Env(L"QUOR_TESTDATA") + L"\\" + sample);
        ASSERT_TRUE(original.has_value());
        for (int run = 0; run < kRunsPerSample; ++run) {
            std::string bytes = *original;
            if (run % 5 == 4) {
                bytes.resize(
                    std::uniform_int_distribution<std::size_t>(8, bytes.size() - 1)(random));
            } else {
                const int changes = 1 + run % 4;
                for (int i = 0; i < changes; ++i) {
                    const std::size_t at =
                        std::uniform_int_distribution<std::size_t>(8, bytes.size() - 1)(random);
                    bytes[at] = static_cast<char>(random());
                }
            }
            ASSERT_TRUE(WriteBytes(path, bytes));
            const Status status = TestArchive(path, nullptr);
            const ExitCode code = status.exitCode();
            ASSERT_TRUE(code == ExitCode::Success || code == ExitCode::Fatal ||
                        code == ExitCode::Damaged)
                << "run " << run << ": " << Narrow(status.Describe());
            if (run % 10 == 0) {
                const std::wstring out = dir / (L"out" + std::to_wstring(++extractions));
                if (!ExtractArchive(path, out, nullptr).ok()) {
                    EXPECT_TRUE(IsEmptyOrMissing(out)) << "run " << run;
                }
            }
        }
    }
}

} // namespace
} // namespace bi
