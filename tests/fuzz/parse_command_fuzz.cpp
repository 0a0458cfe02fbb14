// libFuzzer target for the command reader behind Main::ParseMQTTCommand. No broker needed:
// the reader is the part that sees untrusted bytes; the table lookup after it is a map find.
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "service/main.h"

namespace {

// The same grammar read recursively, as a reference for inputs shallow enough for a stack.
bool ReferenceWord(const std::string& payload, std::string& word) {
    rapidjson::Document document;
    document.Parse(payload.c_str());
    if (document.HasParseError() || !document.IsObject()) return false;
    auto member = document.FindMember("type");
    if (member == document.MemberEnd() || !member->value.IsString()) return false;
    word.assign(member->value.GetString(), member->value.GetStringLength());
    return true;
}

size_t Depth(const std::string& text) {
    size_t depth = 0, deepest = 0;
    for (char c : text) {
        if (c == '[' || c == '{') deepest = ++depth > deepest ? depth : deepest;
        if ((c == ']' || c == '}') && depth > 0) --depth;
    }
    return deepest;
}

const std::map<std::string, int> kCommands = {{"version", 0}, {"download", 2}, {"heartbeat", 5},
                                              {"reboot", 3},  {"reset_factory", 1}, {"view_cam", 4}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string payload(reinterpret_cast<const char*>(data), size);
    std::string word;
    bool read = ReadCommandWord(payload, "type", word);
    if (read) {
        volatile bool known = kCommands.count(word) != 0;
        (void)known;
    }
    if (Depth(payload) < 512) {
        std::string expected;
        bool reference = ReferenceWord(payload, expected);
        if (reference != read || (read && expected != word)) std::abort();
    }
    return 0;
}
