#pragma once
// YARA rules (.yar, .yara), compiled with libyara and run over each scanned
// entry; a rule that matches is a finding named by the rule. A build
// without libyara has none (Available() is false).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zipscan {

class YaraRules {
public:
    static bool Available();
    // The version of libyara this build uses ("" without one).
    static std::string Version();

    YaraRules();
    ~YaraRules();
    YaraRules(const YaraRules&) = delete;
    YaraRules& operator=(const YaraRules&) = delete;

    // Adds the rules of one file (read from text, shown as path in errors);
    // false with "FILE:LINE: reason" on the first error.
    bool AddFile(const std::string& path, const std::string& text, std::string& error);
    // Compiles what was added; once, after the last AddFile.
    bool Prepare(std::string& error);
    bool Empty() const { return files == 0; }

    // One thread's scanner.
    class Scanner {
    public:
        explicit Scanner(const YaraRules& rules);
        ~Scanner();
        Scanner(const Scanner&) = delete;
        Scanner& operator=(const Scanner&) = delete;
        // The names of the rules the content matches. False when the scan
        // failed (no memory, its time out), with the reason.
        bool Scan(const unsigned char* data, std::size_t size, std::vector<std::string>& names, std::string& error);

    private:
        void* scanner = nullptr;  // YR_SCANNER
    };

private:
    void* compiler = nullptr;  // YR_COMPILER until Prepare
    void* rules = nullptr;     // YR_RULES after it
    std::size_t files = 0;
};

} // namespace zipscan
