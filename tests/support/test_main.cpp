// Every test binary's main: a verifier violation fails the running test.
#include <gtest/gtest.h>

#include "tests/support/host_test.h"

namespace {
void FailTest(const std::string& message) { ADD_FAILURE() << "verifier: " << message; }
}  // namespace

namespace testing_support {

std::vector<std::string> CaptureViolations(const std::function<void()>& fn) {
    std::vector<std::string> captured;
    host::SetViolationHandler([&](const std::string& m) { captured.push_back(m); });
    fn();
    host::ReportSpecialPoolFaults();  // a fault in fn's own code, outside any handler
    host::SetViolationHandler(FailTest);
    return captured;
}

bool AnyContains(const std::vector<std::string>& messages, const std::string& part) {
    for (auto& m : messages) {
        if (m.find(part) != std::string::npos) return true;
    }
    return false;
}

}  // namespace testing_support

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    host::SetViolationHandler(FailTest);
    return RUN_ALL_TESTS();
}
