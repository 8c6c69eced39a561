#include "YaraRules.h"

#ifdef ZIPSCAN_YARA
#include <yara.h>
#endif

#include <mutex>

namespace zipscan {

namespace {

#ifdef ZIPSCAN_YARA
// libyara is set up once for the process and left so until it ends.
bool Initialise()
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = yr_initialize() == ERROR_SUCCESS; });
    return ok;
}

struct CompileErrors {
    std::string path;
    std::string first;
};

void OnCompileError(int level, const char* file, int line, const YR_RULE*, const char* message, void* context)
{
    auto* errors = static_cast<CompileErrors*>(context);
    if (level != YARA_ERROR_LEVEL_ERROR || !errors->first.empty()) return;
 (void)file;  // rules come from a string: the name is ours
    errors->first = errors->path + ":" + std::to_string(line) + ": " + (message ? message : "error");
}

int OnScan(YR_SCAN_CONTEXT*, int message, void* data, void* context)
{
    if (message == CALLBACK_MSG_RULE_MATCHING) {
        const auto* rule = static_cast<const YR_RULE*>(data);
        static_cast<std::vector<std::string>*>(context)->push_back(rule->identifier);
    }
    return CALLBACK_CONTINUE;
}
#endif

} // namespace

bool YaraRules::Available()
{
#ifdef ZIPSCAN_YARA
    return true;
#else
    return false;
#endif
}

std::string YaraRules::Version()
{
#ifdef ZIPSCAN_YARA
    return YR_VERSION;
#else
    return std::string();
#endif
}

YaraRules::YaraRules() = default;

YaraRules::~YaraRules()
{
#ifdef ZIPSCAN_YARA
    if (compiler) yr_compiler_destroy(static_cast<YR_COMPILER*>(compiler));
    if (rules) yr_rules_destroy(static_cast<YR_RULES*>(rules));
#endif
}

bool YaraRules::AddFile(const std::string& path, const std::string& text, std::string& error)
{
#ifdef ZIPSCAN_YARA
    if (!compiler) {
        YR_COMPILER* c = nullptr;
        if (!Initialise() || yr_compiler_create(&c) != ERROR_SUCCESS) {
            error = "cannot set up libyara";
            return false;
        }
        compiler = c;
    }
    auto* c = static_cast<YR_COMPILER*>(compiler);
    CompileErrors errors;
    errors.path = path;
    yr_compiler_set_callback(c, OnCompileError, &errors);
    // Every file gets a namespace of its own, so that two files may each
    // have a rule of the same name.
    const std::string space = "file" + std::to_string(files);
    if (yr_compiler_add_string(c, text.c_str(), space.c_str()) != 0) {
        error = errors.first.empty() ? path + ": cannot compile the YARA rules" : errors.first;
        return false;
    }
    ++files;
    return true;
#else
    (void)text;
    error = path + ": this zipscan was built without libyara";
    return false;
#endif
}

bool YaraRules::Prepare(std::string& error)
{
#ifdef ZIPSCAN_YARA
    if (!compiler) return true;
    YR_RULES* r = nullptr;
    if (yr_compiler_get_rules(static_cast<YR_COMPILER*>(compiler), &r) != ERROR_SUCCESS) {
        error = "cannot compile the YARA rules";
        return false;
    }
    yr_compiler_destroy(static_cast<YR_COMPILER*>(compiler));
    compiler = nullptr;
    rules = r;
    return true;
#else
    (void)error;
    return true;
#endif
}

YaraRules::Scanner::Scanner(const YaraRules& set)
{
#ifdef ZIPSCAN_YARA
    YR_SCANNER* s = nullptr;
    if (set.rules && yr_scanner_create(static_cast<YR_RULES*>(set.rules), &s) == ERROR_SUCCESS) scanner = s;
#else
    (void)set;
#endif
}

YaraRules::Scanner::~Scanner()
{
#ifdef ZIPSCAN_YARA
    if (scanner) yr_scanner_destroy(static_cast<YR_SCANNER*>(scanner));
#endif
}

bool YaraRules::Scanner::Scan(const unsigned char* data, std::size_t size, std::vector<std::string>& names,
                              std::string& error)
{
#ifdef ZIPSCAN_YARA
    if (!scanner) {
        error = "cannot set up a YARA scanner";
        return false;
    }
    auto* s = static_cast<YR_SCANNER*>(scanner);
    yr_scanner_set_callback(s, OnScan, &names);
    const int result = yr_scanner_scan_mem(s, data, size);
    if (result != ERROR_SUCCESS) {
        error = "the YARA scan failed (libyara error " + std::to_string(result) + ")";
        return false;
    }
    return true;
#else
    (void)data;
    (void)size;
    (void)names;
    (void)error;
    return true;
#endif
}

} // namespace zipscan
