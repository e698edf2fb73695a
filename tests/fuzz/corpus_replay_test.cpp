// Every input under fuzz/regressions/ (the seeds and every input that ever failed a target)
// run through its target again, so that the ordinary builds keep what the fuzzing found.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_targets.h"
#include "tests/support/test_files.h"

namespace zipsalvage {
namespace {

std::string currentInput;

void failTest(const char* what, const char* file, int line) {
    ADD_FAILURE_AT(file, line) << what << " (input " << currentInput << ")";
}

std::vector<std::filesystem::path> inputsOf(const std::string& target) {
    std::filesystem::path folder =
        std::filesystem::path(ZIPSALVAGE_SOURCE_DIR) / "fuzz" / "regressions" / target;
    std::vector<std::filesystem::path> inputs;
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
        if (item.is_regular_file()) inputs.push_back(item.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

class CorpusReplay : public ::testing::TestWithParam<fuzz::NamedTarget> {};

TEST_P(CorpusReplay, EveryInputPassesItsTarget) {
    const fuzz::NamedTarget& target = GetParam();
    std::vector<std::filesystem::path> inputs = inputsOf(target.name);
    EXPECT_FALSE(inputs.empty()) << "no inputs for " << target.name;
    fuzz::setFailureHandler(failTest);
    for (const auto& input : inputs) {
        currentInput = input.filename().string();
        testing::Bytes bytes = testing::readWholeFile(input.string());
        target.run(bytes.data(), bytes.size());
    }
    fuzz::setFailureHandler(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, ::testing::ValuesIn(fuzz::kFuzzTargets),
                         [](const ::testing::TestParamInfo<fuzz::NamedTarget>& target) {
                             return std::string(target.param.name);
                         });

}  // namespace
}  // namespace zipsalvage
