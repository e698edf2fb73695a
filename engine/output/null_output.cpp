// The output of a test run: it takes every entry and keeps none of its bytes, so the run
// decodes and checks everything, logs and reports what a run into an archive would, and
// writes nothing.
#include <new>

#include "engine/output/output_writer.h"

namespace zipsalvage {
namespace {

class NullOutput final : public OutputWriter {
  public:
    // Stored, the bytes reach the CRC-32 check without the cost of deflating them.
    bool takesDecodedBytes() const override { return true; }
    int64_t position() override { return 0; }
    OutputStep beginEntry(SalvagedEntry&) override { return OutputStep::kDone; }
    bool write(const void*, uint32_t) override { return true; }
    StreamOutput dataOutput() override { return StreamOutput{nullptr, takeAll}; }
    bool restartData() override { return true; }
    bool finishEntry(SalvagedEntry&) override { return true; }
    bool dropEntry(int64_t) override { return true; }
    bool finish(const SalvagedEntry*, const std::string&) override { return true; }
    bool commit() override { return true; }
    void discard() override {}

  private:
    static uint32_t takeAll(void*, const uint8_t*, uint32_t count) { return count; }
};

}  // namespace

std::unique_ptr<OutputWriter> makeNullOutput() {
    return std::unique_ptr<OutputWriter>(new (std::nothrow) NullOutput);
}

}  // namespace zipsalvage
