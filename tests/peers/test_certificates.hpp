// SPDX-License-Identifier: Apache-2.0
#pragma once
// A CA and a server certificate for 127.0.0.1 and localhost, made with the
// openssl command in a fresh folder when a test needs them. A second,
// unrelated CA signs a server certificate that the first CA cannot verify,
// and a certificate for another host name tests name checks.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/temp_folder.hpp"

namespace talvenix::testing {

class TestCertificates {
 public:
  TestCertificates() {
    const std::string d = folder_.path().string();
    Make("ca", "/CN=Talvenix Test CA", "", "");
    Make("server", "/CN=127.0.0.1", "ca", "subjectAltName=IP:127.0.0.1,DNS:localhost");
    Make("otherhost", "/CN=elsewhere.example", "ca", "subjectAltName=DNS:elsewhere.example");
    Make("rogue-ca", "/CN=Unknown CA", "", "");
    Make("rogue", "/CN=127.0.0.1", "rogue-ca", "subjectAltName=IP:127.0.0.1,DNS:localhost");
  }

  std::string ca_file() const { return Path("ca.crt"); }
  std::string server_cert() const { return Path("server.crt"); }
  std::string server_key() const { return Path("server.key"); }
  // Signed by the CA, but for another host name.
  std::string other_host_cert() const { return Path("otherhost.crt"); }
  std::string other_host_key() const { return Path("otherhost.key"); }
  // Signed by a CA that the tests never trust.
  std::string rogue_cert() const { return Path("rogue.crt"); }
  std::string rogue_key() const { return Path("rogue.key"); }

 private:
  std::string Path(const std::string& name) const { return (folder_.path() / name).string(); }

  void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
  }

  // A self-signed CA when `issuer` is empty, else a leaf signed by `issuer`.
  void Make(const std::string& name, const std::string& subject, const std::string& issuer,
            const std::string& alt_names) {
    const std::string key = Path(name + ".key"), crt = Path(name + ".crt");
    if (issuer.empty()) {
      Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '" + subject + "' -keyout " + key + " -out " + crt +
          " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign");
      return;
    }
    const std::string csr = Path(name + ".csr"), ext = Path(name + ".ext");
    Run("openssl req -newkey rsa:2048 -nodes -subj '" + subject + "' -keyout " + key + " -out " + csr);
    std::ofstream(ext) << alt_names << "\n";
    Run("openssl x509 -req -in " + csr + " -CA " + Path(issuer + ".crt") + " -CAkey " + Path(issuer + ".key") +
        " -CAcreateserial -days 2 -out " + crt + " -extfile " + ext);
  }

  TempFolder folder_{"certificates"};
};

}  // namespace talvenix::testing
