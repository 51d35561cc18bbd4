// A key handler for the fuzz targets: touches every parameter it gets, answers at once.
#pragma once
#include <numeric>

#include "zemir/service/keyrpc.h"

namespace zemir::fuzz {

class QuietKeyHandler : public KeyRpcHandler {
 public:
  void CloseLibrary() override {}
  std::optional<char> InitLibrary() override { return (++n_ & 1) ? std::optional<char>('\0') : std::nullopt; }
  void IsAnyReaderConnected2(std::array<char, kReaderTextSize>& text) override { text[0] = 'E'; }
  std::int8_t VerifyPIN(const std::string& r, const std::string& p) override { return r.size() == p.size(); }
  std::int8_t ChangePIN(const std::string& r, const std::string& p, const std::string& n) override {
    return p == n && !r.empty();
  }
  std::int8_t ReadData(const std::string& r, std::int32_t slot, KeyDataBlock& d, std::int32_t& len) override {
    d[static_cast<std::size_t>(len) % d.size()] ^= static_cast<unsigned char>(slot);
    return std::accumulate(d.begin(), d.begin() + len, 0) > 0;
  }
  std::int8_t WriteData(const std::string& r, std::int32_t slot, KeyDataBlock& d, std::int32_t& len) override {
    len = static_cast<std::int32_t>(r.size() % (kKeyDataSize + 1));
    return slot == 1001;
  }
  std::int8_t DeleteData(const std::string& r, std::int32_t slot) override { return 1; }
  std::int32_t GetReaderSerialNumber(const std::string& r) override { return static_cast<std::int32_t>(r.size()); }
  std::int8_t IsReaderInserted(const std::string& r) override { return !r.empty() && r[0] == 'E'; }

 private:
  unsigned n_ = 0;
};

}  // namespace zemir::fuzz
