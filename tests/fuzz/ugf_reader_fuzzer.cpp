// libFuzzer target: the UGF reader over arbitrary bytes, and the record it
// makes played out on a board (see record_reader_fuzz.h).
#include "records/ugf_reader.h"
#include "tests/fuzz/record_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kirobaku::fuzz::FuzzRecordReader(kirobaku::ReadUgfText, data, size);
  return 0;
}
