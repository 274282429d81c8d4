#pragma once
// What the TLS tests need around a real server: a test authority that
// issues server certificates (made with the openssl command), and a capture
// of every TCP byte to and from one loopback address, as an observer on the
// path would see them.
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace nettest {

class TTestAuthority {
  public:
    // A fresh authority in `dir`; Why() is empty when it worked.
    explicit TTestAuthority(const std::filesystem::path& dir, const std::string& name = "ca");
    const std::string& Why() const { return why_; }
    // The authority's certificate, to trust.
    std::filesystem::path CertFile() const { return dir_ / (name_ + ".pem"); }
    // A server certificate and its key in one PEM file; `altNames` as
    // openssl writes them ("IP:127.0.0.1,DNS:localhost"). Empty on failure.
    std::string Issue(const std::string& file, const std::string& altNames);
    // Makes the FTP client of this process trust this authority alone
    // (SSL_CERT_FILE, SSL_CERT_DIR); the next one replaces it.
    void TrustOnlyThis() const;

  private:
    std::filesystem::path dir_;
    std::string name_;
    std::string why_;
};

// A loopback address of this process's own (127.1xx.y.z, xx from `index`,
// 0 to 99), so that a capture or a server of one test binary meets nobody
// else's.
std::string OwnLoopbackAddress(int index);

class TLoopbackCapture {
  public:
    // Starts capturing on "lo"; Why() is empty when it runs (root needed).
    explicit TLoopbackCapture(const std::string& address);
    ~TLoopbackCapture();
    TLoopbackCapture(const TLoopbackCapture&) = delete;
    TLoopbackCapture& operator=(const TLoopbackCapture&) = delete;
    const std::string& Why() const { return why_; }
    // The TCP payloads seen so far, in order, both directions.
    std::string Bytes();

  private:
    void Run();
    int fd_ = -1;
    uint32_t address_ = 0; // network order
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string bytes_;
    std::string why_;
    std::thread thread_;
};

} // namespace nettest
