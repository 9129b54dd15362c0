// SPDX-License-Identifier: Apache-2.0
#pragma once
// A loader over a small inline document in a fresh folder.

#include <memory>
#include <string>

#include "common/recording_logger.hpp"
#include "config/xml_loader.hpp"
#include "config_fixture.hpp"

namespace talvenix::testing {

class LoaderTest : public ::testing::Test {
 protected:
  // Writes the document and makes a loader for it (category "sms").
  void Use(const std::string& document, const char* category = "sms") {
    document_ = document;
    path_ = folder_.Write("qvsmscomms.xml", document);
    loader_ = std::make_unique<XMLLoader>(&log_, path_.c_str(), category);
  }
  std::string File() { return folder_.Read("qvsmscomms.xml"); }
  // Rewrites the file in place as another program would, then sets its
  // modification time back: a change within the clock's resolution.
  void RewriteKeepingTime(const std::string& document) {
    std::filesystem::file_time_type time = std::filesystem::last_write_time(path_);
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << document;
    std::filesystem::last_write_time(path_, time);
    document_ = document;
  }
  bool FileUnchanged() { return File() == document_; }

  TempFolder folder_;
  RecordingLogger log_;
  std::string document_;
  std::string path_;
  std::unique_ptr<XMLLoader> loader_;
};

// <vantrelcomms><sms><config>OPTIONS</config><services>SERVICES</services></sms>TEMPLATES</vantrelcomms>
inline std::string Document(const std::string& options, const std::string& services,
                            const std::string& templates = "") {
  return "<?xml version=\"1.0\"?>\n<vantrelcomms>\n  <sms>\n    <config>\n" + options +
         "    </config>\n    <services>\n" + services + "    </services>\n  </sms>\n" + templates + "</vantrelcomms>\n";
}

inline std::string Option(const std::string& name, const std::string& value, const std::string& extra = "") {
  return "      <option name=\"" + name + "\" value=\"" + value + "\"" + extra + "/>\n";
}

}  // namespace talvenix::testing
