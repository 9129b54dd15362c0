// SPDX-License-Identifier: Apache-2.0
// Reading and writing the configuration file: what a save writes back, what a
// load refuses, and that a failed save never damages the file.

#include "config/xml_file.hpp"

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "common/system_call_faults.hpp"
#include "config/xml_errors.hpp"
#include "config_fixture.hpp"

namespace talvenix {
namespace {

using platform::SystemCalls;
using testing::FailNthCall;
using testing::TempFolder;

bool RunningAsRoot() { return geteuid() == 0; }

std::string LoadAndSave(TempFolder& folder, const std::string& bytes, const char* change_attribute = nullptr) {
  std::string path = folder.Write("c.xml", bytes);
  XmlFileError error;
  auto file = LoadXmlFile(path.c_str(), error);
  EXPECT_TRUE(file) << DescribeParseError(error);
  if (!file) return {};
  if (change_attribute)
    file->document.document_element()
        .find_child_by_attribute("name", "x")
        .attribute("value")
        .set_value(change_attribute);
  EXPECT_TRUE(SaveXmlFile(path.c_str(), *file, error)) << error.reason;
  return folder.Read("c.xml");
}

TEST(XmlFileSave, WritesTheFileBackAsItWasApartFromTheChange) {
  TempFolder folder;
  // The bundled file comes back byte for byte.
  std::string shipped = testing::DefaultConfiguration();
  EXPECT_EQ(LoadAndSave(folder, shipped), shipped);

  // Declaration quoting, comments and blank lines outside the root, CR LF line
  // ends, entities and empty elements all survive; only the value changes.
  std::string original =
      "<?xml version='1.0' encoding='utf-8'?>\r\n\r\n<!-- head -->\r\n<r>\r\n"
      "  <o name=\"x\" value=\"1\"/>\r\n  <t>a &amp; b &lt; c</t>\r\n  <e></e>\r\n</r>\r\n<!-- tail -->\r\n";
  EXPECT_EQ(LoadAndSave(folder, original, "22"), testing::Replaced(original, "value=\"1\"", "value=\"22\""));
}

TEST(XmlFileSave, KeepsUtf16AndItsByteOrderMark) {
  TempFolder folder;
  std::u16string text =
      u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<r><o name=\"x\" value=\"\u00e9\U0001F600\"/></r>\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  std::string path = folder.Write("c.xml", bytes);
  XmlFileError error;
  auto file = LoadXmlFile(path.c_str(), error);
  ASSERT_TRUE(file) << DescribeParseError(error);
  EXPECT_STREQ(file->document.child("r").child("o").attribute("value").value(), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(LoadAndSave(folder, bytes), bytes);
}

// A file in ISO-8859-1 or Windows-1252 reads as its declaration says and is
// saved in it again; a character the set lacks is saved as a reference.
TEST(XmlFileSave, KeepsTheSingleByteEncodingTheDeclarationNames) {
  TempFolder folder;
  struct Case {
    const char* encoding;
    std::string value;  // as the file holds it
    const char* read;   // as the document holds it (UTF-8)
    std::string saved;  // the value written for "\u03A9\u20AC\u00E9"
  } const cases[] = {
      {"ISO-8859-1", "caf\xE9 \x80", "caf\xC3\xA9 \xC2\x80", "&#x3A9;&#x20AC;\xE9"},
      {"windows-1252", "\x93\x80\x81q", "\xE2\x80\x9C\xE2\x82\xAC\xC2\x81q", "&#x3A9;\x80\xE9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoding);
    std::string head =
        "<?xml version=\"1.0\" encoding=\"" + std::string(c.encoding) + "\"?>\r\n<r>\r\n  <o name=\"x\" ";
    std::string bytes = head + "value=\"" + c.value + "\"/>\r\n</r>\r\n";
    std::string path = folder.Write("c.xml", bytes);
    XmlFileError error;
    auto file = LoadXmlFile(path.c_str(), error);
    ASSERT_TRUE(file) << DescribeParseError(error);
    EXPECT_STREQ(file->document.child("r").child("o").attribute("value").value(), c.read);
    EXPECT_EQ(LoadAndSave(folder, bytes), bytes);
    EXPECT_EQ(LoadAndSave(folder, bytes, "\xCE\xA9\xE2\x82\xAC\xC3\xA9"),
              head + "value=\"" + c.saved + "\"/>\r\n</r>\r\n");
    file = LoadXmlFile(path.c_str(), error);
    ASSERT_TRUE(file) << DescribeParseError(error);
    EXPECT_STREQ(file->document.child("r").child("o").attribute("value").value(), "\xCE\xA9\xE2\x82\xAC\xC3\xA9");
  }
}

TEST(XmlFileLoad, RefusesBadFilesWithThePlaceOfTheFault) {
  TempFolder folder;
  struct Case {
    const char* name;
    std::string bytes;
    uint32_t code;
    int line, position;
  };
  const Case cases[] = {
      {"empty", "", kXmlErrorNotWellFormed, 1, 1},
      {"unclosed", "<r>\n  <a>\n</r>\n", kXmlErrorNotWellFormed, 3, 3},
      {"invalid UTF-8", "<r>\n <a v=\"ok\xC3\"/></r>", kXmlErrorEncoding, 2, 10},
      {"overlong UTF-8", "<r v=\"\xC0\xAF\"/>", kXmlErrorEncoding, 1, 7},
      // Past the long ASCII runs that are checked many bytes at a time.
      {"invalid UTF-8 late", "<r>\n <a v=\"" + std::string(70, 'x') + "\xE9\"/></r>", kXmlErrorEncoding, 2, 78},
      {"second root", "<r/>\n<s/>", kXmlErrorNotWellFormed, 2, 1},
      {"broken declaration", "<?xml version=1.0?>\n<r/>", kXmlErrorNotWellFormed, 1, 15},
      {"instruction named like the declaration", "<?xml\xE4\x84\xA0version=\"1.0\"?><r/>", kXmlErrorNotWellFormed, 1,
       15},
      // pugixml would end the document there and read what came before it.
      {"NUL", std::string("<r>\n  <a/>\0<a v='1' v='2'/></r>", 29), kXmlErrorNotWellFormed, 2, 7},
      {"declared KOI8-R", "<?xml version=\"1.0\" encoding=\"KOI8-R\"?><r/>", kXmlErrorEncoding, 1, 1},
      {"UTF-16 declaring Latin-1",
       [] {
         std::string bytes;
         for (char c : std::string_view("<?xml encoding='latin1'?><r/>")) bytes += {c, '\0'};
         return bytes;
       }(),
       kXmlErrorEncoding, 1, 1},
      {"UTF-32", std::string("\xFF\xFE\0\0<\0\0\0", 8), kXmlErrorEncoding, 0, 0},
      {"unpaired surrogate", std::string("\xFF\xFE<\0r\0\x00\xD8/\0>\0", 12), kXmlErrorEncoding, 1, 3},
  };
  for (XmlLoadMode mode : {XmlLoadMode::kForReading, XmlLoadMode::kForEditing}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      std::string path = folder.Write("bad.xml", c.bytes);
      XmlFileError error;
      EXPECT_FALSE(LoadXmlFile(path.c_str(), error, mode));
      EXPECT_EQ(error.code, c.code);
      EXPECT_EQ(error.line, c.line);
      EXPECT_EQ(error.position, c.position);
      EXPECT_FALSE(error.reason.empty());
    }
  }
  XmlFileError error;
  EXPECT_FALSE(LoadXmlFile(folder.File("missing.xml").c_str(), error));
  EXPECT_EQ(error.code, kXmlErrorCannotRead);
  EXPECT_EQ(DescribeParseError(error),
            "Parsing error on line 0 position 0 : cannot open the file: No such file or directory");
  EXPECT_FALSE(LoadXmlFile(folder.path().c_str(), error));  // a folder
  EXPECT_EQ(error.code, kXmlErrorCannotRead);
}

TEST(XmlFileLoad, RefusesEntitiesAndRepeatedAttributesAtTheirPlaceAndNeverExpandsThem) {
  TempFolder folder;
  struct Case {
    const char* name;
    std::string bytes;
    int line, position;  // 0: accepted
  };
  const Case cases[] = {
      {"declared entity", "<!DOCTYPE r [\n  <!ENTITY gw \"Null\">\n]>\n<r v=\"&gw;\"/>", 2, 3},
      {"entity in a comment of the subset only", "<!DOCTYPE r [ <!-- <!ENTITY x 'y'> --> ]><r/>", 0, 0},
      {"undeclared entity in a value", "<r>\n  <a v=\"x&gw;\"/></r>", 2, 10},
      {"undeclared entity in text", "<r>\n<t>a &nbsp; b</t></r>", 2, 6},
      {"repeated attribute", "<r>\n  <o name=\"a\" value=\"1\" value=\"2\"/></r>", 2, 25},
      {"names differing in case are different attributes", "<r>\n  <o value='1' Value='2'/></r>", 0, 0},
      {"predefined and character references", "<r a=\"&lt;&gt;&amp;&quot;&apos;&#65;&#x42;\">&amp;gw;</r>", 0, 0},
      {"references inside comments, CDATA and instructions", "<?pi &x;?><r><!-- &x; --><![CDATA[&x; a=1 a=2]]></r>", 0,
       0},
      {"the same attribute on two elements", "<r v='1'><s v='2'/></r>", 0, 0},
      {"a quoted '>' and '&' in a value", "<r a=\"x > y\" b='&amp;gw;'/>", 0, 0},
      {"repeated after a value holding '/>', spaced around '='", "<r>\n<o a='/>' b = \"1\" b='2'/></r>", 2, 19},
      {"repeated after a comment holding a tag", "<r><!-- <o b='1'> -->\n<o b='1' b='2'/></r>", 2, 10},
      {"repeated among nine attributes", "<r a='' b='' c='' d='' e='' f='' g='' h='' a=''/>", 1, 44},
  };
  for (XmlLoadMode mode : {XmlLoadMode::kForReading, XmlLoadMode::kForEditing}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      std::string path = folder.Write("c.xml", c.bytes);
      XmlFileError error;
      auto file = LoadXmlFile(path.c_str(), error, mode);
      if (c.line == 0) {
        EXPECT_TRUE(file) << DescribeParseError(error);
        continue;
      }
      EXPECT_FALSE(file);
      EXPECT_EQ(error.code, kXmlErrorRefusedMarkup);
      EXPECT_EQ(error.line, c.line);
      EXPECT_EQ(error.position, c.position);
    }
  }
  XmlFileError error;
  EXPECT_FALSE(LoadXmlFile(folder.Write("c.xml", "<r a='1' a='2'/>").c_str(), error));
  EXPECT_EQ(DescribeParseError(error),
            "Parsing error on line 1 position 10 : the attribute \"a\" is given twice on one element: keep one");
  // A value that only looks like a reference is kept as written on a save.
  EXPECT_EQ(LoadAndSave(folder, "<r><o name=\"x\" value=\"&amp;gw;\"/></r>"),
            "<r><o name=\"x\" value=\"&amp;gw;\"/></r>");
}

class SaveFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = folder_.Write("c.xml", original_);
    file_ = LoadXmlFile(path_.c_str(), error_);
    ASSERT_TRUE(file_);
    file_->document.child("r").attribute("v").set_value(std::string(4096, 'x').c_str());
  }
  void ExpectOriginalIntact() {
    EXPECT_EQ(folder_.Read("c.xml"), original_);
    EXPECT_EQ(folder_.CountEntries(), 1) << "a temporary file was left behind";
  }

  TempFolder folder_;
  std::string original_ = "<r v=\"1\"/>\n";
  std::string path_;
  XmlFileError error_;
  std::unique_ptr<XmlFileDocument> file_;
};

TEST_F(SaveFailure, DiskFullHalfwayLeavesTheOldFile) {
  FailNthCall<&SystemCalls::write> disk_full(1, ENOSPC);
  bool saved = SaveXmlFile(path_.c_str(), *file_, error_);
  EXPECT_TRUE(disk_full.fired());
  EXPECT_FALSE(saved);
  EXPECT_EQ(error_.code, kXmlErrorCannotWrite);
  ExpectOriginalIntact();
}

TEST_F(SaveFailure, FolderThatCannotBeWritten) {
  // Whoever runs the test (root included), the folder refuses the new file.
  FailNthCall<&SystemCalls::open> refused(1, EACCES);
  EXPECT_FALSE(SaveXmlFile(path_.c_str(), *file_, error_));
  EXPECT_TRUE(refused.fired());
  ExpectOriginalIntact();
}

TEST_F(SaveFailure, FailedSyncOrRenameLeavesTheOldFileAndNothingElse) {
  {
    FailNthCall<&SystemCalls::fsync> sync_fails(1, EIO);
    EXPECT_FALSE(SaveXmlFile(path_.c_str(), *file_, error_));
    EXPECT_TRUE(sync_fails.fired());
    EXPECT_NE(error_.reason.find("Input/output error"), std::string::npos) << error_.reason;
    ExpectOriginalIntact();
  }
  {
    FailNthCall<&SystemCalls::rename> rename_fails(1, EXDEV);
    EXPECT_FALSE(SaveXmlFile(path_.c_str(), *file_, error_));
    EXPECT_TRUE(rename_fails.fired());
    EXPECT_NE(error_.reason.find("cannot replace"), std::string::npos) << error_.reason;
    ExpectOriginalIntact();
  }
  EXPECT_TRUE(SaveXmlFile(path_.c_str(), *file_, error_)) << "nothing stays broken";
  EXPECT_EQ(folder_.CountEntries(), 1);
}

TEST_F(SaveFailure, WithoutUnnamedTemporaryFilesANamedOneIsUsedAndRemoved) {
  FailNthCall<&SystemCalls::open> unsupported(1, EOPNOTSUPP);  // a file system without O_TMPFILE
  EXPECT_TRUE(SaveXmlFile(path_.c_str(), *file_, error_)) << error_.reason;
  EXPECT_EQ(unsupported.calls(), 3) << "the unnamed try, the named file, the folder for its sync";
  EXPECT_NE(folder_.Read("c.xml"), original_);
  EXPECT_EQ(folder_.CountEntries(), 1);

  // Unnamed files but no /proc to name one: the save writes a named file instead.
  file_->document.child("r").attribute("v").set_value("2");
  FailNthCall<&SystemCalls::linkat> no_proc(1, ENOENT);
  EXPECT_TRUE(SaveXmlFile(path_.c_str(), *file_, error_)) << error_.reason;
  EXPECT_TRUE(no_proc.fired());
  EXPECT_EQ(folder_.Read("c.xml"), "<r v=\"2\"/>\n");
  EXPECT_EQ(folder_.CountEntries(), 1);
}

// Sets a file's change time `seconds` into the past.
void Age(const std::string& path, int seconds) {
  timeval now{};
  gettimeofday(&now, nullptr);
  timeval times[2] = {{now.tv_sec - seconds, 0}, {now.tv_sec - seconds, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
}

TEST_F(SaveFailure, AKilledSaveLeavesNothingAndOldLeftoversAreRemoved) {
  // A save killed while writing: the child dies inside the write.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::g_system_calls.write = [](int, const void*, size_t) -> ssize_t { _exit(0); };
    SaveXmlFile(path_.c_str(), *file_, error_);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ExpectOriginalIntact();

  // What a killed save on a file system without unnamed files leaves: removed
  // by the next save once it is a minute old, and only files of our own pattern.
  std::string stale = folder_.Write(".c.xml.saving-Ab12Cd", "half");
  std::string recent = folder_.Write(".c.xml.saving-Ef34Gh", "half");
  std::string other = folder_.Write(".c.xml.swp", "an editor's");
  Age(stale, 120);
  Age(other, 120);
  ASSERT_TRUE(SaveXmlFile(path_.c_str(), *file_, error_)) << error_.reason;
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(recent)) << "it may be another save's, still running";
  EXPECT_TRUE(std::filesystem::exists(other));
}

TEST_F(SaveFailure, TheSavedFileKeepsItsOwnerGroupAndMode) {
  if (!RunningAsRoot()) GTEST_SKIP() << "giving a file to another user needs root";
  ASSERT_EQ(chown(path_.c_str(), 4242, 4343), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  ASSERT_TRUE(SaveXmlFile(path_.c_str(), *file_, error_)) << error_.reason;
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4242u);
  EXPECT_EQ(st.st_gid, 4343u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(folder_.Read("c.xml"), original_);
}

TEST_F(SaveFailure, AnOwnerThatCannotBeKeptMustStillBeAbleToRead) {
  if (!RunningAsRoot()) GTEST_SKIP() << "giving a file to another user needs root";
  ASSERT_EQ(chown(path_.c_str(), 4242, 4343), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  {
    FailNthCall<&SystemCalls::fchown> not_permitted(1, EPERM);
    EXPECT_FALSE(SaveXmlFile(path_.c_str(), *file_, error_));
    EXPECT_NE(error_.reason.find("to its owner (uid 4242)"), std::string::npos) << error_.reason;
    ExpectOriginalIntact();
  }
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);  // readable by everyone: the save may go on
  FailNthCall<&SystemCalls::fchown> not_permitted(1, EPERM);
  EXPECT_TRUE(SaveXmlFile(path_.c_str(), *file_, error_)) << error_.reason;
  EXPECT_NE(folder_.Read("c.xml"), original_);
}

TEST_F(SaveFailure, TargetThatIsAFolder) {
  std::filesystem::create_directory(folder_.File("d.xml"));
  EXPECT_FALSE(SaveXmlFile(folder_.File("d.xml").c_str(), *file_, error_));
  EXPECT_TRUE(std::filesystem::is_directory(folder_.File("d.xml")));
  EXPECT_EQ(folder_.CountEntries(), 2);
}

TEST(XmlFileSave, ThroughASymbolicLinkReplacesTheFileItPointsTo) {
  TempFolder folder;
  std::string target = folder.Write("real.xml", "<r v=\"1\"/>");
  std::filesystem::create_symlink(target, folder.File("link.xml"));
  XmlFileError error;
  auto file = LoadXmlFile(folder.File("link.xml").c_str(), error);
  ASSERT_TRUE(file);
  file->document.child("r").attribute("v").set_value("2");
  ASSERT_TRUE(SaveXmlFile(folder.File("link.xml").c_str(), *file, error));
  EXPECT_TRUE(std::filesystem::is_symlink(folder.File("link.xml")));
  EXPECT_EQ(folder.Read("real.xml"), "<r v=\"2\"/>");
}

}  // namespace
}  // namespace talvenix
