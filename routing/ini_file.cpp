#include "routing/ini_file.h"

#include <map>
#include <vector>

#include "routing/routing_log.h"
#include "routing/text_file.h"
#include "routing/text_rules.h"

namespace vantelo::routing {
namespace {

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

// "[name]" gives true and the trimmed name.
bool SectionName(const std::string& line, std::string& name) {
  std::string t = Trim(line);
  if (t.empty() || t[0] != '[') return false;
  std::size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(t.substr(1, close - 1));
  return true;
}

// "key=value" gives true with both trimmed.
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
  std::size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(line.substr(0, eq));
  value = Trim(line.substr(eq + 1));
  return true;
}

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

bool StartsWithByteOrderMark(const std::string& text) { return text.rfind(kByteOrderMark, 0) == 0; }

// The problem each unreadable settings file had at its last read, so that a
// file read again and again is reported when it turns unreadable and when it
// can be read again, not at every read.
std::map<std::string, std::string>& ReadProblems() {
  static std::map<std::string, std::string> problems;
  return problems;
}

void NoteReadOutcome(const std::string& path, const TTextFile& file) {
  auto& problems = ReadProblems();
  auto known = problems.find(path);
  if (file.state == TTextFile::Unreadable) {
    if (known == problems.end() || known->second != file.problem) {
      RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning,
                 "cannot read " + path + ": " + file.problem + "; using the defaults");
      problems[path] = file.problem;
    }
  } else if (known != problems.end()) {
    RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning, path + " can be read again");
    problems.erase(known);
  }
}

}  // namespace

TIniFile::TIniFile(std::string path, std::string displayName)
    : path_(std::move(path)), displayName_(std::move(displayName)) {}

std::string TIniFile::ReadFromText(const std::string& fileText, const std::string& section,
                                   const std::string& key, const std::string& defaultValue) {
  return FindInText(fileText, section, key).value_or(defaultValue);
}

std::optional<std::string> TIniFile::FindInText(const std::string& fileText,
                                                const std::string& section,
                                                const std::string& key) {
  // An editor's byte-order mark is not part of the first section's name.
  const std::string text =
      StartsWithByteOrderMark(fileText) ? fileText.substr(sizeof kByteOrderMark - 1) : fileText;
  bool inSection = false;
  bool sectionSeen = false;
  std::string name, k, v;
  for (const std::string& line : SplitLines(text)) {
    if (SectionName(line, name)) {
      if (sectionSeen) break;  // only the first matching section counts
      inSection = SameText(name, section);
      sectionSeen = inSection;
      continue;
    }
    if (inSection && KeyValue(line, k, v) && SameText(k, key)) {
      // A value in matching quotes is read without them, as profile files do.
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
      }
      if (v.size() > kMaxProfileValue) v.resize(kMaxProfileValue);
      return v;
    }
  }
  return std::nullopt;
}

std::string TIniFile::WriteToText(const std::string& fileText, const std::string& section,
                                  const std::string& key, const std::string& value) {
  // A byte-order mark stays where the editor put it, ahead of every line.
  const bool marked = StartsWithByteOrderMark(fileText);
  const std::string text = marked ? fileText.substr(sizeof kByteOrderMark - 1) : fileText;
  // A line break inside a value would make lines of its own.
  std::string safeValue = value;
  for (char& c : safeValue) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  const std::string eol = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::vector<std::string> lines = SplitLines(text);

  std::size_t sectionLine = lines.size();
  std::string name, k, v;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (SectionName(lines[i], name) && SameText(name, section)) {
      sectionLine = i;
      break;
    }
  }
  if (sectionLine == lines.size()) {
    lines.push_back("[" + section + "]" + (eol == "\r\n" ? "\r" : ""));
    lines.push_back(key + "=" + safeValue + (eol == "\r\n" ? "\r" : ""));
  } else {
    std::size_t end = sectionLine + 1;
    while (end < lines.size() && !SectionName(lines[end], name)) ++end;
    std::size_t lastContent = sectionLine;
    bool replaced = false;
    for (std::size_t i = sectionLine + 1; i < end; ++i) {
      if (!Trim(lines[i]).empty()) lastContent = i;
      if (KeyValue(lines[i], k, v) && SameText(k, key)) {
        lines[i] = k + "=" + safeValue + (lines[i].back() == '\r' ? "\r" : "");
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastContent) + 1,
                   key + "=" + safeValue + (eol == "\r\n" ? "\r" : ""));
    }
  }
  std::string out = marked ? kByteOrderMark : "";
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  return ReadValue(section, key).value_or(defaultValue);
}

std::optional<std::string> TIniFile::ReadValue(const std::string& section,
                                               const std::string& key) const {
  const TTextFile file = ReadTextFile(path_);
  NoteReadOutcome(path_, file);
  if (file.state != TTextFile::Read) return std::nullopt;
  return FindInText(file.text, section, key);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) const {
  const ESettingsWriteError failure("Unable to write to " + displayName_);
  // A file that cannot be read is left alone: rewriting it would keep only
  // this key and lose every other one.
  const TTextFile file = ReadTextFile(path_);
  if (file.state == TTextFile::Unreadable) {
    RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning,
               "cannot write " + path_ + ": cannot read it first: " + file.problem);
    throw failure;
  }
  const std::string problem =
      ReplaceTextFile(path_, WriteToText(file.text, section, key, value), 0644);
  if (!problem.empty()) {
    RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning,
               "cannot write " + path_ + ": " + problem);
    throw failure;
  }
}

}  // namespace vantelo::routing
