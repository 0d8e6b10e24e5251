#include "engine/generation_names.h"

#include <gtest/gtest.h>

namespace veldar {
namespace {

TEST(GenerationNamesTest, SpeltFromTheSourceName) {
  EXPECT_EQ(FileGenerationName("report.doc", 1), "report_1.doc_");
  EXPECT_EQ(FileGenerationName("data.tar.gz", 98), "data_98.tar.gz_");  // split at the first dot
  EXPECT_EQ(FileGenerationName("README", 2), "_2.README_");             // no dot: all extension
  EXPECT_EQ(FileGenerationName(".profile", 3), "_3.profile_");
  EXPECT_EQ(FileGenerationName("notes.", 4), "notes_4._");
  EXPECT_EQ(DirGenerationName("docs", 12), "docs_12");
  EXPECT_EQ(DirGenerationName("my_docs", 1), "my_docs_1");
}

// Every slot's name is found again with its slot, whatever the case; the
// names of slots outside 1 to 98 never are.
TEST(GenerationNamesTest, EverySlotRoundTrips) {
  for (const char* source : {"report.doc", "README", "data.tar.gz", ".profile", "notes.", "x_1.y_"}) {
    for (int slot = 1; slot <= kMaxGenerationSlot; ++slot) {
      EXPECT_EQ(FileGenerationSlot(FileGenerationName(source, slot), source), slot) << source;
      EXPECT_EQ(DirGenerationSlot(DirGenerationName(source, slot), source), slot) << source;
    }
    for (int slot : {0, 99, 100, -1}) {
      EXPECT_FALSE(IsFileGenerationName(FileGenerationName(source, slot), source)) << source << slot;
      EXPECT_FALSE(IsDirGenerationName(DirGenerationName(source, slot), source)) << source << slot;
    }
  }
  EXPECT_EQ(FileGenerationSlot("REPORT_7.Doc_", "report.DOC"), 7);
  EXPECT_EQ(DirGenerationSlot("Docs_98", "dOCS"), 98);
}

TEST(GenerationNamesTest, NothingButTheExactFormIsRecognised) {
  for (const char* name :
       {"report_01.doc_", "report_+1.doc_", "report_ 1.doc_", "report_1.doc", "report_1.doc_x", "xreport_1.doc_",
        "report_1.doc.doc_", "report_.doc_", "report_1.txt_", "report_1_1.doc_", ""}) {
    EXPECT_FALSE(IsFileGenerationName(name, "report.doc")) << name;
  }
  for (const char* name : {"docs1", "docs_", "docs_1_2", "docs_backup", "docs2_1", "my_docs_1", "_1"}) {
    EXPECT_FALSE(IsDirGenerationName(name, "docs")) << name;
  }
  // Case is folded for ASCII letters only: other bytes must match exactly.
  EXPECT_TRUE(IsDirGenerationName("\xc3\x84rger_1", "\xc3\x84rger"));
  EXPECT_FALSE(IsDirGenerationName("\xc3\xa4rger_1", "\xc3\x84rger"));
}

}  // namespace
}  // namespace veldar
