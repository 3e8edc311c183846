// Test support for the transport and section tests: per-test pipe folders and names.
#pragma once

#include <string>

namespace zel::vem::test {

// Gives each test its own pipes and names: a fresh temporary folder as $ZELVEM_PIPE_DIR (read
// on POSIX only), removed afterwards with what is left in it. Names carry that folder's unique
// leaf, because Windows pipes and the sections of every platform are machine-wide.
class PipeTestScope {
  public:
    PipeTestScope();
    ~PipeTestScope();
    PipeTestScope(const PipeTestScope&) = delete;
    PipeTestScope& operator=(const PipeTestScope&) = delete;

    // `stem` followed by something no other live test process uses.
    std::string uniqueName(const char* stem);
    const std::string& directory() const { return dir; }

  private:
    std::string dir;
    std::string tag;
    int counter = 0;
};

// True for a Windows test running under Wine, whose pipe namespace cannot be listed.
bool runningUnderWine();

}  // namespace zel::vem::test
