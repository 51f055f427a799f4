#include "XmlHandler.h"

#include "ZelCommunication.h"

#include <pugixml.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const SERVER_NAME = "ZX4472-Velmora";

// A configuration file larger than this is not loaded.
constexpr size_t MAX_CONFIG_BYTES = 64u << 20;

// The path with each run of backslashes and each run of slashes turned into one '/';
// malloc'd, null when out of memory.
char* NormalisedCopy(const char* path) {
    size_t length = std::strlen(path);
    char* copy = static_cast<char*>(std::calloc(length + 1, 1));
    if (copy == nullptr)
        return nullptr;
    size_t out = 0;
    for (size_t in = 0; in < length;) {
        char c = path[in];
        if (c == '\\' || c == '/') {
            copy[out++] = '/';
            while (in < length && path[in] == c)
                ++in;
        } else {
            copy[out++] = c;
            ++in;
        }
    }
    return copy;
}

bool LoadConfig(pugi::xml_document& doc, const std::string& path, size_t& size) {
    FILE* file = mvd_pugixml_fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    struct stat st;
    bool ok = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    std::string bytes;
    std::vector<char> chunk(64 * 1024);
    while (ok) {
        size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
        if (n == 0)
            break;
        if (bytes.size() + n > MAX_CONFIG_BYTES)
            ok = false;
        else
            bytes.append(chunk.data(), n);
    }
    ok = ok && !std::ferror(file);
    std::fclose(file);
    size = bytes.size();
    // Same detection and parsing as loading the file directly.
    return ok &&
           doc.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
}

// Collects the saved document, up to a limit: deep nesting indents quadratically.
struct CTextWriter : pugi::xml_writer {
    struct TooLarge {};
    explicit CTextWriter(size_t limit) : limit(limit) {}
    void write(const void* data, size_t size) override {
        if (size > limit - bytes.size())
            throw TooLarge();
        bytes.append(static_cast<const char*>(data), size);
    }
    size_t limit;
    std::string bytes;
};

// Drops the space that the library writes before the "/>" of an empty-element tag.
// The loaded document holds only elements, text and CDATA: outside tags every '<' starts a
// tag or a CDATA section, and inside a tag '"' delimits the attribute values, which may
// hold a raw '>' or " />".
std::string CloseEmptyTags(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    const size_t n = in.size();
    while (i < n) {
        if (in[i] != '<') {
            out += in[i++];
            continue;
        }
        if (in.compare(i, 9, "<![CDATA[") == 0) {
            size_t end = in.find("]]>", i + 9);
            end = end == std::string::npos ? n : end + 3;
            out.append(in, i, end - i);
            i = end;
            continue;
        }
        bool inValue = false;
        while (i < n) {
            char c = in[i++];
            if (inValue) {
                inValue = c != '"';
            } else if (c == '"') {
                inValue = true;
            } else if (c == ' ' && in.compare(i, 2, "/>") == 0) {
                continue;
            } else if (c == '>') {
                out += c;
                break;
            }
            out += c;
        }
    }
    return out;
}

// Writes the bytes into a temporary file beside the configuration file and renames it over
// that file, so the file is replaced whole or not at all. Keeps the permission bits.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
    char* normalised = NormalisedCopy(path.c_str());
    if (normalised == nullptr)
        return false;
    // Through a symbolic link to the file it stands for.
    char* target = realpath(normalised, nullptr);
    std::free(normalised);
    if (target == nullptr)
        return false;
    std::string targetPath(target);
    std::free(target);

    struct stat st;
    if (stat(targetPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::string tmpl = targetPath + ".XXXXXX";
    std::vector<char> tempName(tmpl.begin(), tmpl.end());
    tempName.push_back('\0');
    // Written through the descriptor that created the file: a name reopened later could by then
    // stand for another file (someone who can write the folder could put a link there).
    int fd = mkstemp(tempName.data());
    if (fd < 0)
        return false;
    bool ok = false;
    struct stat written;
    if (FILE* file = fdopen(fd, "wb")) {
        ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        ok = std::fflush(file) == 0 && ok;
        // The owner where allowed (root), then the mode: chown may clear set-id bits.
        if (fchown(fileno(file), st.st_uid, st.st_gid) != 0) {
            // Not permitted: the file stays ours.
        }
        ok = ok && fchmod(fileno(file), st.st_mode & 07777) == 0;
        ok = ok && fsync(fileno(file)) == 0;
        ok = ok && fstat(fileno(file), &written) == 0;
        ok = std::fclose(file) == 0 && ok;
    } else {
        close(fd);
    }
    // Only the file written here is renamed over the configuration, never what has taken its
    // name meanwhile.
    struct stat named;
    ok = ok && lstat(tempName.data(), &named) == 0 && named.st_dev == written.st_dev &&
         named.st_ino == written.st_ino;
    ok = ok && std::rename(tempName.data(), targetPath.c_str()) == 0;
    if (!ok) {
        unlink(tempName.data());
        return false;
    }
    // Make the rename itself durable; the file is in place either way.
    std::string dir = targetPath.substr(0, targetPath.rfind('/') + 1);
    int dirFd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

// Text that a comment or a processing instruction splits (neither is loaded) lies in adjacent
// text nodes, which the saved file holds as one text. Joined here, the entries are matched on
// the text the saved file will hold, so a save never changes which entry a later run finds.
// Iterative: the nesting may be deep.
void JoinAdjacentText(pugi::xml_node root) {
    pugi::xml_node node = root.first_child();
    while (node) {
        if (node.type() == pugi::node_pcdata && node.next_sibling().type() == pugi::node_pcdata) {
            std::string joined = node.value();
            while (node.next_sibling().type() == pugi::node_pcdata) {
                pugi::xml_node next = node.next_sibling();
                joined += next.value();
                node.parent().remove_child(next);
            }
            node.set_value(joined.c_str());
        }
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node != root && !node.next_sibling())
            node = node.parent();
        if (node == root)
            break;
        node = node.next_sibling();
    }
}

// loadedSize: the size of the file as read; the saved form may be a few times larger.
bool SaveConfig(const pugi::xml_document& doc, const std::string& path, size_t loadedSize) {
    CTextWriter writer(8 * loadedSize + (1u << 20));
    try {
        doc.save(writer, "\t", pugi::format_indent | pugi::format_no_declaration,
                 pugi::encoding_utf8);
    } catch (const CTextWriter::TooLarge&) {
        return false;
    }
    return ReplaceFile(path, CloseEmptyTags(writer.bytes));
}

} // namespace

int SetProlverConfigFile(const std::string& configPath, const std::string& exePath, bool bEnable) {
    int result = -1;
    bool changed = false;
    bool found = false;
    pugi::xml_node servers;

    pugi::xml_document doc;
    size_t loadedSize = 0;
    if (LoadConfig(doc, configPath, loadedSize)) {
        JoinAdjacentText(doc);
        servers = doc.child("Prolver").child("OrvaneServers");
        const char* wanted = bEnable ? "1" : "0";
        // Every child node is an entry, whatever its name; the first with the name and an
        // Enabled attribute is the one.
        for (pugi::xml_node entry = servers.first_child(); entry; entry = entry.next_sibling()) {
            pugi::xml_node name = entry.child("Name");
            if (!name)
                continue;
            pugi::xml_node text = name.first_child();
            if (!text || std::strcmp(text.value(), SERVER_NAME) != 0)
                continue;
            found = true;
            pugi::xml_attribute enabled = entry.attribute("Enabled");
            if (!enabled)
                continue;
            if (std::strcmp(enabled.value(), wanted) != 0) {
                enabled.set_value(wanted);
                changed = true;
            }
            result = 0;
            break;
        }
        if (!found && bEnable && servers) {
            pugi::xml_node entry = servers.append_child("OrvaneServer");
            entry.append_attribute("Enabled").set_value("1");
            entry.append_child("Name").append_child(pugi::node_pcdata).set_value(SERVER_NAME);
            entry.append_child("Path").append_child(pugi::node_pcdata).set_value(exePath.c_str());
            changed = true;
        }
    }
    if (changed)
        result = SaveConfig(doc, configPath, loadedSize) ? 1 : 0;
    return result;
}

int SetProlverConfig(bool bEnable) {
    ZelCommunicatior zel;
    std::string configPath;
    if (!zel.GetOvInstallPath(configPath))
        return 0;
    configPath += "Target/ProlverConfig.xml";
    std::string exePath;
    if (!zel.GetOvInstallPath(exePath))
        return 0;
    exePath += "Components/Plc/VelmoraService/VelmoraService";
    return SetProlverConfigFile(configPath, exePath, bEnable);
}

std::string MvdNormalisedPath(const char* path) {
    char* copy = NormalisedCopy(path);
    if (copy == nullptr)
        throw std::bad_alloc();
    std::string normalised(copy);
    std::free(copy);
    return normalised;
}

// Opens only regular files, and never blocks on the way: a FIFO at the path would wait for a
// peer for ever.
FILE* mvd_pugixml_fopen(const char* path, const char* mode) {
    char* copy = NormalisedCopy(path);
    if (copy == nullptr)
        return nullptr;
    int flags = O_NONBLOCK | O_CLOEXEC;
    bool const plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r':
        flags |= plus ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    default:
        std::free(copy);
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(copy, flags, 0666);
    std::free(copy);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE* file = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        file = fdopen(fd, mode);
    if (file == nullptr)
        close(fd);
    return file;
}
