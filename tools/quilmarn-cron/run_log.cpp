#include "run_log.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

constexpr rapidjson::SizeType kKeep = 20;
constexpr size_t kLineOutput = 100;  // bytes of output shown on a line

std::string runs_file_path(const std::string& dir) { return dir + "/quilmarn-cron.runs.json"; }

std::string compact(const rapidjson::Value& v) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    v.Accept(w);
    return std::string(buf.GetString(), buf.GetSize());
}

void load(const std::string& dir, rapidjson::Document* doc) {
    std::ifstream in(runs_file_path(dir), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    doc->Parse(text.c_str());
    if (doc->HasParseError() || !doc->IsObject()) doc->SetObject();
}

// The first line of the text, cut on a character boundary.
std::string first_line(const char* text) {
    std::string s(text);
    s = s.substr(0, s.find('\n'));
    if (s.size() > kLineOutput) {
        size_t end = kLineOutput;
        while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
        s = s.substr(0, end) + "...";
    }
    return s;
}

}  // namespace

bool runs_file_prepend(const std::string& dir, int id, const rapidjson::Value& records) {
    rapidjson::Document doc;
    load(dir, &doc);
    auto& a = doc.GetAllocator();
    const std::string key = std::to_string(id);
    rapidjson::Value merged(rapidjson::kArrayType);
    for (const auto& r : records.GetArray()) {
        if (merged.Size() < kKeep) merged.PushBack(rapidjson::Value(r, a), a);
    }
    auto old = doc.FindMember(key.c_str());
    if (old != doc.MemberEnd()) {
        if (old->value.IsArray()) {
            for (auto& r : old->value.GetArray()) {
                if (merged.Size() < kKeep) merged.PushBack(rapidjson::Value(r, a), a);
            }
        }
        old->value = merged;
    } else {
        doc.AddMember(rapidjson::Value(key.c_str(), a), merged, a);
    }
    // Readers never see half a file: write aside, then rename over it.
    const std::string path = runs_file_path(dir);
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << compact(doc);
        if (!out.flush()) return false;
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) std::filesystem::remove(tmp, ec);
    return !ec;
}

void runs_file_read(const std::string& dir, int id, rapidjson::Document* out) {
    rapidjson::Document doc;
    load(dir, &doc);
    out->SetArray();
    auto it = doc.FindMember(std::to_string(id).c_str());
    if (it != doc.MemberEnd() && it->value.IsArray()) out->CopyFrom(it->value, out->GetAllocator());
}

std::string record_line(const std::string& name, const rapidjson::Value& r, bool with_output) {
    char when[32] = "?";
    time_t t = static_cast<time_t>(r["finished_at"].GetInt64());
    std::tm tm{};
    if (localtime_r(&t, &tm) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    const int code = r["exit_code"].GetInt();
    const char* why = code == -1 ? " (not started)" : code == -2 ? " (time limit)" : code == -3 ? " (cancelled)" : "";
    std::string out = first_line(r["stdout"].GetString());
    if (out.empty()) out = first_line(r["stderr"].GetString());
    char head[256];
    std::snprintf(head, sizeof head, "%s  %s  exit %d%s  %d ms", when, name.c_str(), code, why,
                  r["duration_ms"].GetInt());
    std::string line = head;
    if (r["attempt"].GetInt() > 1) line += "  attempt " + std::to_string(r["attempt"].GetInt());
    if (with_output && !out.empty()) line += "  " + out;
    return line;
}

std::string record_output(const rapidjson::Value& r) {
    std::string text;
    for (const char* stream : {"stdout", "stderr"}) {
        std::string s = r[stream].GetString();
        const char* mark = stream[3] == 'o' ? "    | " : "    ! ";
        for (size_t at = 0; at < s.size();) {
            size_t end = s.find('\n', at);
            if (end == std::string::npos) end = s.size();
            text += mark + s.substr(at, end - at) + "\n";
            at = end + 1;
        }
    }
    return text;
}

void new_records::take(int id, const char* log_json, rapidjson::Document* out) {
    out->SetArray();
    rapidjson::Document log;
    log.Parse(log_json);
    if (log.HasParseError() || !log.IsArray() || log.Empty()) return;
    seen& s = seen_[id];
    // Until the ring is full its count tells exactly (two records can be
    // alike); after that the newest record seen marks where the new ones end.
    const int count = static_cast<int>(log.Size());
    const bool counted = count < static_cast<int>(kKeep);
    const int fresh = counted ? count - s.count : count;
    for (const auto& r : log.GetArray()) {
        if (static_cast<int>(out->Size()) >= fresh) break;
        if (!counted && compact(r) == s.newest) break;
        out->PushBack(rapidjson::Value(r, out->GetAllocator()), out->GetAllocator());
    }
    s.count = count;
    s.newest = compact(log[0]);
}
