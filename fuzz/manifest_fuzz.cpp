// Fuzzes the reading of a copy's manifest. Checked: any text either reads as
// a manifest or is refused with a reason and nothing kept; what reads writes
// out as a text that reads back to the same entries, and writes the same.

#include <cstdint>
#include <string>

#include "engine/manifest.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = veldar::fuzz::AsText(data, size);
  veldar::Manifest manifest;
  std::string error;
  if (!veldar::Manifest::Parse(text, &manifest, &error)) {
    FUZZ_CHECK(manifest.entries().empty());
    FUZZ_CHECK(error.rfind("line ", 0) == 0);
    return 0;
  }
  FUZZ_CHECK(error.empty());
  const std::string written = manifest.Text();
  veldar::Manifest again;
  FUZZ_CHECK(veldar::Manifest::Parse(written, &again, &error));
  FUZZ_CHECK(again.entries().size() == manifest.entries().size());
  FUZZ_CHECK(again.Text() == written);
  for (const auto& [path, entry] : manifest.entries()) {
    const veldar::ManifestEntry* found = again.Find(path);
    FUZZ_CHECK(found != nullptr);
    FUZZ_CHECK(found->checksum == entry.checksum && found->size == entry.size && found->mtimeSec == entry.mtimeSec &&
               found->mtimeNsec == entry.mtimeNsec);
  }
  return 0;
}
