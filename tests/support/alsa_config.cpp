#include "alsa_config.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr const char* kSystemConf = "/usr/share/alsa/alsa.conf";

[[noreturn]] void Refuse(const std::string& why)
{
    std::fprintf(stderr, "cannot make the tests' ALSA configuration: %s\n", why.c_str());
    std::abort();
}

// The folder of the copy, removed at exit (not by forked children, which
// end with _exit or exec).
struct Folder {
    std::string path;
    ~Folder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

std::string MakeCopy(Folder* folder)
{
    std::ifstream in(kSystemConf);
    std::stringstream text;
    text << in.rdbuf();
    std::string conf = text.str();
    // The block runs from "@hooks [" at the start of a line to the first
    // "]" alone at the start of a line.
    const size_t from = conf.find("\n@hooks [");
    const size_t to = from == std::string::npos ? from : conf.find("\n]", from + 1);
    if (!in || to == std::string::npos)
        Refuse(std::string("no first @hooks block in ") + kSystemConf);
    conf.erase(from + 1, to + 2 - (from + 1));
    if (conf.find("asoundrc") != std::string::npos)
        Refuse(std::string(kSystemConf) + " still loads asoundrc without its first @hooks block");
    std::string dir = (std::filesystem::temp_directory_path() / "quillo-alsa-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr)
        Refuse("mkdtemp " + dir);
    folder->path = dir;
    const std::string path = dir + "/alsa.conf";
    std::ofstream out(path);
    out << conf;
    if (!out.flush())
        Refuse("cannot write " + path);
    return path;
}

} // namespace

const std::string& PrivateAlsaConf()
{
    static Folder folder;
    static const std::string path = MakeCopy(&folder);
    return path;
}

std::string AlsaConfigPath(const std::string& more)
{
    return more.empty() ? PrivateAlsaConf() : PrivateAlsaConf() + ":" + more;
}
