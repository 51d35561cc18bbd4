// A key handler for tests: records every call and answers with canned, checkable results.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zemir/service/keyrpc.h"

namespace zemir::test {

class FakeKeyHandler : public KeyRpcHandler {
 public:
  std::vector<std::string> calls;  // one line per call

  void CloseLibrary() override { Record("CloseLibrary"); }
  // A NUL on odd calls, a null pointer on even ones.
  std::optional<char> InitLibrary() override {
    Record("InitLibrary");
    return (++inits_ % 2) ? std::optional<char>('\0') : std::nullopt;
  }
  void IsAnyReaderConnected2(std::array<char, kReaderTextSize>& text) override {
    Record("IsAnyReaderConnected2");
    text[0] = 'E';
    text[1] = ':';
    text[2] = '\\';
    text[19] = 'Z';  // shows that all 20 bytes travel
  }
  std::int8_t VerifyPIN(const std::string& reader, const std::string& pin) override {
    Record("VerifyPIN " + reader + " " + pin);
    Slow(reader);
    return reader == "Reader A" && pin == "1234";
  }
  std::int8_t ChangePIN(const std::string& reader, const std::string& pin, const std::string& newPin) override {
    Record("ChangePIN " + reader + " " + pin + " " + newPin);
    return pin == "1234" && newPin.size() >= 4;
  }
  // Sends back every byte of the block XOR 0x5A (ReadData) or 0xA5 (WriteData) and length + 1.
  std::int8_t ReadData(const std::string& reader, std::int32_t slot, KeyDataBlock& data, std::int32_t& length) override {
    Record("ReadData " + reader + " " + std::to_string(slot) + " " + std::to_string(length));
    for (auto& b : data) b ^= 0x5A;
    ++length;
    return reader == "Reader A";
  }
  std::int8_t WriteData(const std::string& reader, std::int32_t slot, KeyDataBlock& data, std::int32_t& length) override {
    Record("WriteData " + reader + " " + std::to_string(slot) + " " + std::to_string(length));
    for (auto& b : data) b ^= 0xA5;
    ++length;
    return slot != 3;
  }
  std::int8_t DeleteData(const std::string& reader, std::int32_t slot) override {
    Record("DeleteData " + reader + " " + std::to_string(slot));
    return 1;
  }
  std::int32_t GetReaderSerialNumber(const std::string& reader) override {
    Record("GetReaderSerialNumber " + reader);
    Slow(reader);
    return reader == "Reader A" ? -123456789 : 0x12345678;
  }
  // "peak" answers the largest number of calls that ran at once.
  std::int8_t IsReaderInserted(const std::string& reader) override {
    Record("IsReaderInserted " + reader);
    if (reader == "peak") return static_cast<std::int8_t>(peak_.load());
    return reader.rfind("E:", 0) == 0;
  }

  void set_log(std::FILE* f) { log_ = f; }

 private:
  void Record(const std::string& line) {
    std::lock_guard<std::mutex> l(mu_);
    calls.push_back(line);
    if (log_) {
      std::fprintf(log_, "%s\n", line.c_str());
      std::fflush(log_);
    }
  }
  // Calls on the reader "slow" take 300 ms and count towards the concurrency peak.
  void Slow(const std::string& reader) {
    if (reader != "slow") return;
    int n = ++active_;
    int p = peak_;
    while (n > p && !peak_.compare_exchange_weak(p, n)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    --active_;
  }

  std::mutex mu_;
  std::FILE* log_ = nullptr;
  int inits_ = 0;
  std::atomic<int> active_{0}, peak_{0};
};

}  // namespace zemir::test
