// Test support for the transport and section tests, shared by every platform.
#include "tests/service/transport_test_support.h"

#include <filesystem>

#include "tests/support/child_process.h"

namespace zel::vem::test {

PipeTestScope::PipeTestScope() : dir(zel::test::makeTempDir("zvt")) {
    tag = std::filesystem::u8path(dir).filename().u8string();
    zel::test::setEnv("ZELVEM_PIPE_DIR", dir);
}

PipeTestScope::~PipeTestScope() {
    zel::test::setEnv("ZELVEM_PIPE_DIR", "");
    zel::test::removeTree(dir);
}

std::string PipeTestScope::uniqueName(const char* stem) {
    return std::string(stem) + tag + "_" + std::to_string(counter++);
}

}  // namespace zel::vem::test
