#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <tuple>

#include "tests/engine/session_test_support.h"

namespace kura {
namespace {

using test::CodeOf;
using test::MakeTable;
using test::MessageOf;
using test::TempDir;

// Whether the process still has the table's files open: an exclusive open of
// a second handle is refused while any handle is open.
bool FilesOpen(const std::string& dir, const std::string& name) {
  TDataTable probe(dir, name, DefaultStorageSettings());
  if (CodeOf([&] { probe.Open(true); }) == kErrAccessDenied) return true;
  probe.Close();
  return false;
}

TEST(SessionTest, BuiltInSessionDefaultsNamesAndStartFailures) {
  TKuraSessionList& list = TKuraSessionList::Global();
  TKuraSession& def = list.FindSession("");
  EXPECT_TRUE(def.IsDefault());
  EXPECT_EQ(&list.FindSession(" DEFAULT "), &def);
  EXPECT_EQ(MessageOf([&] { list.FindSession("nope"); }), "Session name nope is not valid.");
  EXPECT_EQ(MessageOf([] { TKuraDatabase db(nullptr, "nope"); }),
            "Session name nope is not valid.");

  TKuraSession s;
  EXPECT_EQ(std::make_tuple(s.KeepConnections(), s.LockRetryCount(), s.LockWaitTime(),
                            s.LockProtocol(), s.StrictChangeDetection(), s.ForceBufferFlush(),
                            s.ProgressSteps(), s.PrivateDir()),
            std::make_tuple(true, 15, 100, TLockProtocol::kPessimistic, false, false, 20, ""));
  EXPECT_EQ(MessageOf([&] { s.Open(); }), "Session name is missing.");
  EXPECT_FALSE(s.Active());

  // Automatic names are numbered; another session starts the built-in one first.
  TKuraSession a, b;
  a.SetAutoSessionName(true);
  b.SetAutoSessionName(true);
  a.Open();
  b.Open();
  EXPECT_EQ(a.SessionName() + b.SessionName(), "Session_1Session_2");
  EXPECT_EQ(&list.FindSession("session_2"), &b);
  EXPECT_TRUE(def.Active());

  TKuraSession remote("remote");
  remote.SetSessionType(TSessionType::kRemote);
  EXPECT_EQ(MessageOf([&] { remote.Open(); }),
            "Kura Engine Error # 11280 A connection to the database server at '127.0.0.1' "
            "cannot be established");
  EXPECT_FALSE(remote.Active());
  EXPECT_EQ(CodeOf([&] { remote.Engine(); }), kErrNotInitialized);
}

class SessionDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    std::filesystem::create_directory("kifu");
    MakeTable("kifu", "kifulist");
  }
  void TearDown() override { std::filesystem::current_path(old_cwd_); }

  TempDir dir_;
  std::filesystem::path old_cwd_;
  TKuraSession session_{"SessionDatabaseTest"};
};

TEST_F(SessionDatabaseTest, TemporaryDatabasesOpenTheNamedDirectoryAndShareItByPath) {
  TKuraDatabase& kifu = session_.OpenDatabase("kifu");
  EXPECT_TRUE(session_.Active());
  EXPECT_TRUE(kifu.Temporary() && kifu.Connected() && kifu.KeepConnection());
  EXPECT_EQ(kifu.DataDirectory().Path(), "kifu/");
  EXPECT_EQ(&session_.OpenDatabase("KIFU"), &kifu);  // found by name
  EXPECT_EQ(kifu.UseCount(), 2);

  // A path name is its own temporary database on the same directory.
  TKuraDatabase& path = session_.OpenDatabase("kifu\\");
  EXPECT_NE(&path, &kifu);
  EXPECT_EQ(&path.DataDirectory(), &kifu.DataDirectory());
  EXPECT_EQ(kifu.DataDirectory().Name(), "kifu");
  EXPECT_EQ(kifu.DataDirectory().RefCount(), 2);

  TSharedTable& t = kifu.DataDirectory().OpenTable(" KIFULIST ", false, false);
  EXPECT_EQ(&path.DataDirectory().OpenTable("kifulist", true, false), &t);
  EXPECT_EQ(t.RefCount(), 2);
  EXPECT_EQ(MessageOf([&] { path.DataDirectory().OpenTable("kifulist", false, true); }),
            "Kura Engine Error # 11013 Access denied to table 'kifulist'");
  EXPECT_THAT(MessageOf([&] { kifu.DataDirectory().OpenTable("nosuch", false, false); }),
              ::testing::StartsWith("Kura Engine Error # 11010 Table 'nosuch' does not exist"));
  kifu.DataDirectory().CloseTable(t);
  kifu.DataDirectory().CloseTable(t);
  EXPECT_EQ(kifu.DataDirectory().TableCount(), 0u);
  EXPECT_FALSE(FilesOpen("kifu", "kifulist"));

  // KeepConnections: the database stays connected after its last user.
  session_.CloseDatabase(kifu);
  session_.CloseDatabase(kifu);
  EXPECT_TRUE(kifu.Connected());
  session_.SetKeepConnections(false);
  TKuraDatabase& brief = session_.OpenDatabase("./kifu");
  EXPECT_EQ(session_.DatabaseCount(), 3u);
  session_.CloseDatabase(brief);
  EXPECT_EQ(session_.DatabaseCount(), 2u);

  session_.Close();
  EXPECT_EQ(session_.DatabaseCount(), 0u);
  EXPECT_FALSE(session_.Active());
}

TEST_F(SessionDatabaseTest, PlacedDatabasesShareDirectoriesAndTablesUntilTheLastUserCloses) {
  const std::string upper = [&] {
    std::string s = dir_.path() + "\\KIFU\\ ";
    for (char& c : s)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }();
  TKuraDatabase a(nullptr, session_.SessionName()), b(nullptr, session_.SessionName());
  a.SetDatabaseName("A");
  a.SetDirectory(dir_.path() + "/kifu");
  b.SetDatabaseName("B");
  b.SetDirectory(upper);
  a.Open();
  b.Open();
  ASSERT_EQ(&a.DataDirectory(), &b.DataDirectory());
  EXPECT_EQ(a.DataDirectory().Path(), dir_.path() + "/kifu/");
  EXPECT_EQ(session_.FindDatabase("b"), &b);

  TSharedTable& t = a.DataDirectory().OpenTable("kifulist", false, true);
  EXPECT_EQ(CodeOf([&] { b.DataDirectory().OpenTable("KIFULIST", false, false); }),
            kErrAccessDenied);
  a.DataDirectory().CloseTable(t);
  TSharedTable& u = b.DataDirectory().OpenTable("kifulist", false, false);
  a.Close();
  EXPECT_TRUE(FilesOpen("kifu", "kifulist"));
  EXPECT_EQ(u.RefCount(), 1);
  b.Close();  // the directory's last user: its tables close with it
  EXPECT_EQ(session_.Engine().DirectoryCount(), 0u);
  EXPECT_FALSE(FilesOpen("kifu", "kifulist"));

  TKuraDatabase bad(nullptr, session_.SessionName());
  bad.SetDatabaseName("kifu\\x");
  EXPECT_EQ(MessageOf([&] { bad.Open(); }), "Database name kifu\\x is not valid.");
}

TEST_F(SessionDatabaseTest, MemoryDatabaseAndEncryptedTables) {
  // Memory tables live as long as the process: one name per run of the test.
  static int run = 0;
  const std::string mem = "mem" + std::to_string(++run);
  MakeTable("", mem, true);
  MakeTable("kifu", "secret", false, "pw");
  TKuraDatabase& memory = session_.OpenDatabase("memory");
  ASSERT_TRUE(memory.DataDirectory().IsMemory());
  TSharedTable& m =
      memory.DataDirectory().OpenTable(" MEM" + std::to_string(run) + " ", false, false);
  EXPECT_TRUE(m.InMemory());
  test::Append(m.Table(), 7);
  memory.DataDirectory().CloseTable(m);
  EXPECT_EQ(CodeOf([&] { memory.DataDirectory().OpenTable("kifulist", false, false); }),
            kErrTableMissing);
  // A memory table keeps its rows after its last close.
  EXPECT_EQ(test::Values(memory.DataDirectory().OpenTable(mem, false, false).Table()),
            std::vector<std::int32_t>{7});

  TDataDirectory& kifu = session_.OpenDatabase("kifu").DataDirectory();
  EXPECT_EQ(MessageOf([&] { kifu.OpenTable("secret", false, false); }),
            "Kura Engine Error # 10498 Insufficient rights to the table 'secret', a password "
            "is required");
  EXPECT_FALSE(FilesOpen("kifu", "secret") || kifu.FindTable("secret", false));
  session_.Engine().AddPassword("pw");
  EXPECT_TRUE(kifu.OpenTable("secret", false, false).Table().Data().Encrypted());
}

TEST(SessionPathTest, SeparatorsAreFoundOutsideDoubleByteCharacters) {
  EXPECT_TRUE(IsDatabasePath("a:b") && IsDatabasePath("a/b") && IsDatabasePath("a\\b"));
  EXPECT_FALSE(IsDatabasePath("\x95\x5C"));  // one CP932 character ending in 0x5C
  EXPECT_TRUE(IsDatabasePath("\x95\x5C\\"));
  EXPECT_EQ(NormalizeDatabasePath(" C:\\x\\\x95\x5C "), "C:/x/\x95\x5C/");
  EXPECT_EQ(NormalizeDatabasePath("a/"), "a/");
}

}  // namespace
}  // namespace kura
