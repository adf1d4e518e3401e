// libFuzzer target: the SGF reader over arbitrary bytes, and the record it
// makes played out on a board (see record_reader_fuzz.h).
#include "records/sgf_reader.h"
#include "tests/fuzz/record_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kirobaku::fuzz::FuzzRecordReader(
      [](std::string_view bytes, kirobaku::Record& record) {
        std::string unkept;
        return kirobaku::ReadSgfText(bytes, record, &unkept);
      },
      data, size);
  return 0;
}
