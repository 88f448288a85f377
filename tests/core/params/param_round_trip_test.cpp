// The whole catalogue through the parameter file and a restart: every
// parameter set to an edge value of its class, saved, and loaded by a new
// process of this program whose store holds only the defaults. Each value the
// file holds must come back as it was set; a volatile one must not come back.
//
// The new process is this test program itself, started again with the root
// and an output file in its environment. It loads the file and lists every
// parameter before any test runs; this side compares.
#include "core/params/param_store.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/util/password_hash.h"
#include "platform/files/root_path.h"
#include "support/temp_box_root.h"

extern char** environ;

namespace {

// The loader side runs only when both are set.
constexpr char kLoaderRootVar[] = "WEV_PARAM_LOADER_ROOT";
constexpr char kLoaderOutVar[] = "WEV_PARAM_LOADER_OUT";

const StringParam* asString(const Param* p)
{
    return static_cast<const StringParam*>(p);
}

bool isSecretText(const Param* p)
{
    return p->paramClass() == ParamClass::String && p->hasFlags(kParamSecret | kParamHashed);
}

bool isSaved(const Param* p)
{
    return !p->hasFlags(kParamHidden | kParamVolatile);
}

// The form in which the two processes compare a parameter: its text; for a
// secret, whose text is "****", the stored value (a hashed one's hash); for a
// list, the row as well as its token.
std::string comparable(const Param* p)
{
    if (isSecretText(p))
        return *asString(p)->value();
    if (p->paramClass() == ParamClass::List)
        return p->text() + "\t#" + std::to_string(static_cast<const P3List*>(p)->index());
    return p->text();
}

// Every parameter of the catalogue: name -> comparable form.
std::map<std::string, std::string> snapshot()
{
    std::map<std::string, std::string> out;
    int n = 0;
    Param** t = ParamStore::items(&n);
    for (int i = 0; i < n; ++i)
        out[t[i]->name()] = comparable(t[i]);
    return out;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// ------------------------------------------------------------ the loader side

// Loads the file of the root into a store that holds only the defaults and
// lists every parameter into outPath. A message names what failed; empty
// when all went well.
std::string loadAndList(const char* root, const char* outPath)
{
    setenv("WEV_ROOT", root, 1);
    reloadRootPrefixForTest();
    const int loaded = ParamStore::loadFile(paramFilePath().c_str());
    if (loaded != 1)
        return paramFilePath() + ": load returned " + std::to_string(loaded);
    FILE* out = std::fopen(outPath, "w");
    if (!out)
        return std::string(outPath) + ": " + std::strerror(errno);
    for (const auto& [name, text] : snapshot())
        std::fprintf(out, "%s\t%s\n", name.c_str(), text.c_str());
    if (std::fclose(out) != 0)
        return std::string(outPath) + ": " + std::strerror(errno);
    return "";
}

// The loading process: this program started again by runLoader with the
// root and the output file in its environment. It loads, lists and ends
// before any test runs, with status 0 only when the listing is complete.
// Not a test, so that a test run never counts it, skipped or passed.
class ParamFileLoader : public testing::Environment {
public:
    void SetUp() override
    {
        const char* root = std::getenv(kLoaderRootVar);
        const char* outPath = std::getenv(kLoaderOutVar);
        if (!root || !outPath)
            return;
        const std::string failure = loadAndList(root, outPath);
        if (!failure.empty())
            std::fprintf(stderr, "loader: %s\n", failure.c_str());
        std::fflush(nullptr);
        _exit(failure.empty() ? 0 : 1);
    }
};

[[maybe_unused]] testing::Environment* const paramFileLoader =
    testing::AddGlobalTestEnvironment(new ParamFileLoader);

// ------------------------------------------------------------- edge values

enum class Edge { High, Low };

struct Pass {
    const char* name;
    Edge edge;
};

void PrintTo(const Pass& pass, std::ostream* os)
{
    *os << pass.name;
}

// Printable ASCII in order with every tenth character a blank, so that inner
// blanks, '=', '#' and quotes stand in the value; never a blank at either end
// (the file's reader takes those for spacing). Low runs through the character
// set from its other end.
std::string printableText(size_t length, Edge edge)
{
    std::string s;
    for (size_t i = 0; i < length; ++i) {
        const char c = char(edge == Edge::High ? '!' + i % 94 : '~' - i % 94);
        s += (i % 10 == 9 && i + 1 < length) ? ' ' : c;
    }
    return s;
}

// Upper-case letters and digits only, for the texts whose validator takes no
// more (the front display's entry, for one).
std::string plainText(size_t length, Edge edge)
{
    static const char kHigh[] = "Z9Y8X7W6V5U4T3S2R1Q0";
    static const char kLow[] = "A0B1C2D3F4G5H6J7K8L9";
    const char* from = edge == Edge::High ? kHigh : kLow;
    std::string s;
    for (size_t i = 0; i < length; ++i)
        s += from[i % 20];
    return s;
}

// The longest (High) or shortest (Low) clear password whose hash fits the range.
std::string clearPassword(const ParamRange& r, Edge edge)
{
    auto hashLength = [](int n) { return ((n - 1) / 8) * 11 + 13; };
    int n = edge == Edge::High ? PASSWORD_MAX_LENGTH : 1;
    while (n >= 1 && n <= PASSWORD_MAX_LENGTH && (hashLength(n) > r.max || hashLength(n) < r.min))
        n += edge == Edge::High ? -1 : 1;
    return n >= 1 && n <= PASSWORD_MAX_LENGTH ? printableText(size_t(n), edge) : std::string();
}

std::vector<std::string> intCandidates(const IntParam* p, Edge edge)
{
    const ParamRange* r = p->range();
    const int64_t lo = r ? r->min : INT32_MIN;
    const int64_t hi = r ? r->max : INT32_MAX;
    std::vector<std::string> out;
    for (int64_t v : edge == Edge::High ? std::vector<int64_t>{hi, hi - 1} : std::vector<int64_t>{lo, lo + 1}) {
        if (v >= lo && v <= hi)
            out.push_back(std::to_string(v));
    }
    return out;
}

// Rows in order from the chosen end; a token that an earlier row also has
// cannot select its own row by text, so it is left out.
std::vector<std::string> listCandidates(const P3List* p, Edge edge)
{
    std::vector<std::string> out;
    const int n = p->rowCount();
    for (int k = 0; k < n; ++k) {
        const int row = edge == Edge::High ? n - 1 - k : k;
        const char* token = p->rows()[row].token;
        if (token && p->indexOfToken(token) == row)
            out.push_back(token);
    }
    return out;
}

std::vector<std::string> stringCandidates(const StringParam* p, Edge edge)
{
    const ParamRange* r = p->range();
    if (!r)
        return {printableText(kParamMaxTextLength, edge)};
    if (p->hasFlags(kParamHashed))
        return {clearPassword(*r, edge)};
    std::vector<std::string> out;
    if (edge == Edge::Low && r->min == 0)
        out.push_back("");
    const size_t length = edge == Edge::High ? size_t(r->max) : size_t(std::max(r->min, 1));
    out.push_back(printableText(length, edge));
    out.push_back(plainText(length, edge));
    return out;
}

// What a parameter may be set to at the chosen edge, best first.
std::vector<std::string> edgeCandidates(const Param* p, Edge edge)
{
    switch (p->paramClass()) {
    case ParamClass::Int:
        return intCandidates(static_cast<const IntParam*>(p), edge);
    case ParamClass::Bool:
        return {"on", "off"};  // the one that is not the default
    case ParamClass::List:
        return listCandidates(static_cast<const P3List*>(p), edge);
    case ParamClass::String:
        return stringCandidates(asString(p), edge);
    case ParamClass::Ip:
        return edge == Edge::High ? std::vector<std::string>{"255.255.255.255", "255.255.255.254"}
                                  : std::vector<std::string>{"0.0.0.1"};
    case ParamClass::Ip6:
        return {edge == Edge::High ? "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff" : "::1"};
    case ParamClass::Mac:
        return {edge == Edge::High ? "ff:ff:ff:ff:ff:fe" : "00:00:00:00:00:01"};
    }
    return {};
}

// The parameter now holds exactly the text it was given (a hashed one: the
// hash of it).
bool holds(const Param* p, const std::string& text)
{
    if (p->hasFlags(kParamHashed) && p->paramClass() == ParamClass::String)
        return verifyPasswordHash(text.c_str(), int(text.size()), asString(p)->value()->c_str()) == 1;
    if (isSecretText(p))
        return *asString(p)->value() == text;
    return p->text() == text;
}

// Sets the first candidate that is taken and differs from the default; none
// when every candidate was refused or equals the default (each one is added
// to *tried).
std::optional<std::string> setEdge(Param* p, Edge edge, const std::string& defaultForm, std::string* tried)
{
    for (const std::string& c : edgeCandidates(p, edge)) {
        bool refused = true;
        p->setReporting(c.c_str(), int(c.size()), &refused);
        if (!refused && holds(p, c) && comparable(p) != defaultForm)
            return c;
        *tried += " \"" + c + "\"";
    }
    return std::nullopt;
}

// ---------------------------------------------------------- the new process

struct LoaderRun {
    bool started = false;
    bool finished = false;
    int status = 0;
};

std::vector<std::string> loaderEnvironment(const std::string& root, const std::string& out)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        // The parent's gtest settings (sharding, output files) must not
        // reach the child, and the root is the one given here.
        if (std::strncmp(*e, "GTEST_", 6) == 0 || std::strncmp(*e, "WEV_ROOT=", 9) == 0)
            continue;
        env.emplace_back(*e);
    }
    env.push_back("WEV_ROOT=" + root);
    env.push_back(std::string(kLoaderRootVar) + "=" + root);
    env.push_back(std::string(kLoaderOutVar) + "=" + out);
    return env;
}

// Runs this program again as the loading process; its standard output and
// error go to log. The filter only keeps the test list short: the process
// ends in its environment's set-up, before any test.
LoaderRun runLoader(const std::string& root, const std::string& out, const std::string& log)
{
    LoaderRun run;
    std::vector<std::string> env = loaderEnvironment(root, out);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    std::string filter = "--gtest_filter=*ParamRoundTrip.*";
    char* argv[] = {exe.data(), filter.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return run;
    run.started = true;

    // Loading the catalogue takes well under a second, under the sanitizers
    // too; the bound only keeps a hung child from hanging the test.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = waitpid(pid, &run.status, WNOHANG);
        if (done == pid) {
            run.finished = true;
            return run;
        }
        if (done < 0)
            return run;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &run.status, 0);
    return run;
}

// name -> comparable form, as the loader listed them.
std::map<std::string, std::string> readListing(const std::string& path)
{
    std::map<std::string, std::string> out;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos)
            out[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return out;
}

// Names of the " name = value" lines of the parameter file.
std::vector<std::string> namesInFile(const std::string& content)
{
    std::vector<std::string> names;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        const size_t start = line.find_first_not_of(' ');
        const size_t end = line.find(" = ", start);
        if (start != std::string::npos && end != std::string::npos)
            names.push_back(line.substr(start, end - start));
    }
    return names;
}

// ---------------------------------------------------------------- the test

// The values a fresh store holds, taken once per process before either pass
// changes anything (a repeated run must not take the last pass's values).
const std::map<std::string, std::string>& defaults()
{
    static const std::map<std::string, std::string> taken = snapshot();
    return taken;
}

class ParamRoundTrip : public testing::TestWithParam<Pass> {
protected:
    static void SetUpTestSuite() { defaults(); }
};

TEST_P(ParamRoundTrip, EveryParameterAtAnEdgeSurvivesSaveAndLoadInANewProcess)
{
    const Edge edge = GetParam().edge;
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    std::filesystem::create_directories(root.dir() + "/etc");

    int n = 0;
    Param** t = ParamStore::items(&n);
    ASSERT_EQ(t, ParamStore::catalogue()) << "the real catalogue, not a test table";
    // No model set-up has run in this program: nothing is hidden, so the file
    // holds every parameter that is not volatile.
    ASSERT_EQ(ParamStore::countVisible(0), n) << "a parameter is hidden";

    // name -> (text set, comparable form after the set)
    std::map<std::string, std::pair<std::string, std::string>> set;
    std::vector<std::string> plainFallbacks;
    for (int i = 0; i < n; ++i) {
        Param* p = t[i];
        std::string tried;
        const std::optional<std::string> value = setEdge(p, edge, defaults().at(p->name()), &tried);
        if (!value) {
            ADD_FAILURE() << p->name() << " takes no edge value; refused or equal to the default:" << tried;
            continue;
        }
        if (p->paramClass() == ParamClass::String && !value->empty() && *value == plainText(value->size(), edge))
            plainFallbacks.push_back(p->name());
        set[p->name()] = {*value, comparable(p)};
    }
    // Only the front display's entry takes no more than letters and digits.
    EXPECT_EQ(plainFallbacks, std::vector<std::string>{"disp_def"});

    ASSERT_EQ(ParamStore::save(paramFilePath().c_str()), 0);
    const std::string file = readFile(paramFilePath());
    const std::vector<std::string> fileNames = namesInFile(file);
    const std::set<std::string> inFile(fileNames.begin(), fileNames.end());
    EXPECT_EQ(inFile.size(), fileNames.size()) << "a name written twice";
    std::string missing;
    std::string extra;
    for (int i = 0; i < n; ++i) {
        if (isSaved(t[i]) && !inFile.count(t[i]->name()))
            missing += std::string(" ") + t[i]->name();
        if (!isSaved(t[i]) && inFile.count(t[i]->name()))
            extra += std::string(" ") + t[i]->name();
    }
    EXPECT_EQ(missing, "") << "not written to the file";
    EXPECT_EQ(extra, "") << "volatile, yet written to the file";

    const std::string out = root.dir() + "/loaded.tsv";
    const std::string log = root.dir() + "/loader.log";
    const LoaderRun run = runLoader(root.dir(), out, log);
    ASSERT_TRUE(run.started) << "cannot start /proc/self/exe";
    ASSERT_TRUE(run.finished) << "the loading process did not end within the bound\n" << readFile(log);
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
        << "the loading process failed (status " << run.status << ")\n" << readFile(log);
    const std::string loaderLog = readFile(log);
    EXPECT_TRUE(loaderLog.find("ParamStore::load:") == std::string::npos) << "lines were dropped:\n" << loaderLog;

    const std::map<std::string, std::string> loaded = readListing(out);
    ASSERT_EQ(loaded.size(), size_t(n)) << "the loader listed another catalogue\n" << loaderLog;

    int compared = 0;
    int volatileChecked = 0;
    std::string mismatches;
    for (int i = 0; i < n; ++i) {
        const Param* p = t[i];
        const auto it = loaded.find(p->name());
        const auto s = set.find(p->name());
        if (it == loaded.end() || s == set.end())
            continue;  // reported above
        if (isSaved(p)) {
            ++compared;
            const auto& [given, held] = s->second;
            if (it->second != held)
                mismatches += std::string(p->name()) + ": set \"" + given + "\"" +
                              (held != given ? " (held as \"" + held + "\")" : "") + ", loaded \"" + it->second +
                              "\"\n";
        } else {
            ++volatileChecked;
            if (it->second != defaults().at(p->name()))
                mismatches += std::string(p->name()) + " is volatile but came back as \"" + it->second +
                              "\" instead of its default \"" + defaults().at(p->name()) + "\"\n";
        }
    }
    EXPECT_TRUE(mismatches.empty()) << mismatches;
    EXPECT_EQ(size_t(compared), fileNames.size()) << "every parameter the file holds is compared";
    // 785 in the catalogue, of which the USB device table rows (280) and four
    // single status values are volatile.
    EXPECT_GE(compared, 500);
    EXPECT_EQ(compared + volatileChecked, n);
}

const Pass kPasses[] = {
    {"High", Edge::High},  // range maximum, last row, longest text, all-ones address
    {"Low", Edge::Low},    // range minimum, first row, shortest or empty text, lowest address
};

INSTANTIATE_TEST_SUITE_P(Edges, ParamRoundTrip, testing::ValuesIn(kPasses),
                         [](const testing::TestParamInfo<Pass>& info) { return std::string(info.param.name); });

}  // namespace
