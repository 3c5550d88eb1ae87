#include "CliRunner.h"
#include "ScriptedCapabilities.h"
#include "TestImages.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ogctest {

namespace {

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env = {"no_proxy=127.0.0.1", "NO_PROXY=127.0.0.1"};
    env.insert(env.end(), extra.begin(), extra.end());
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const std::string& mine : env) replaced = replaced || NameOf(mine) == NameOf(text);
        if (!replaced) env.push_back(text);
    }
    return env;
}

} // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

int LineCount(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::vector<ScriptedRequest> RequestsFor(const ScriptedServer& server, const std::string& operation) {
    std::vector<ScriptedRequest> found;
    for (const ScriptedRequest& request : server.Requests())
        if (IsRequest(request, operation)) found.push_back(request);
    return found;
}

std::string MapCapabilities(const std::string& endpoint, const std::string& layers) {
    const std::string get = "<DCPType><HTTP><Get><OnlineResource xlink:href=\"" + endpoint + "\"/></Get></HTTP></DCPType>";
    return "<WMS_Capabilities version=\"1.3.0\" xmlns=\"http://www.opengis.net/wms\" "
           "xmlns:xlink=\"http://www.w3.org/1999/xlink\"><Service><Name>WMS</Name></Service><Capability><Request>"
           "<GetCapabilities><Format>text/xml</Format>" + get + "</GetCapabilities>"
           "<GetMap><Format>image/png</Format>" + get + "</GetMap></Request>" + layers + "</Capability></WMS_Capabilities>";
}

ScriptedMapService::ScriptedMapService(std::string layers)
    : getMap(ScriptedResponse::Ok(MakeImage("PNG", 4, 3), "image/png")), m_layers(std::move(layers)),
      m_server([this](const ScriptedRequest& request) { return Answer(request); }) {}

ScriptedResponse ScriptedMapService::Answer(const ScriptedRequest& request) {
    if (IsRequest(request, "GetCapabilities"))
        return ScriptedResponse::Ok(MapCapabilities(m_server.Url("/wms?"), m_layers));
    if (IsRequest(request, "GetMap")) return getMap;
    if (IsRequest(request, "GetFeatureInfo") && featureInfo) return featureInfo(request);
    return ScriptedResponse::Status(400, "unexpected request " + request.target);
}

ScratchFolder::ScratchFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(&pattern[0])) m_dir = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

CliResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                     const std::vector<std::string>& environment) {
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> env = Environment(environment);
    std::vector<char*> argv, envp;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    for (std::string& entry : env) envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    const std::string outPath = folder + "/stdout.txt", errPath = folder + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    CliResult result;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        result.err = "spawn failed: " + std::to_string(spawned);
        return result;
    }
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

CliResult RunOgcweb(const ScratchFolder& folder, std::vector<std::string> args,
                    const std::vector<std::string>& environment) {
    std::filesystem::create_directories(folder.Path("temp"));
    args.insert(args.end(), {"--plugin", OGCWEB_PLUGIN_PATH, "--log", folder.Path("ogcweb.log"), "--temp", folder.Path("temp")});
    std::vector<std::string> env = {"OGCWEB_CONFIG=" + folder.Path("no-such-config.xml")};
    env.insert(env.end(), environment.begin(), environment.end());
    return RunProgram(OGCWEB_CLI_PATH, args, folder.Dir(), env);
}

CliResult RunOgcwebBare(const ScratchFolder& folder, const std::vector<std::string>& args) {
    return RunProgram(OGCWEB_CLI_PATH, args, folder.Dir());
}

} // namespace ogctest
