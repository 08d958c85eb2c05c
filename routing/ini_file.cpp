#include "routing/ini_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

std::string ReadWholeFile(const std::string& path, bool& exists) {
  std::ifstream in(path, std::ios::binary);
  exists = static_cast<bool>(in);
  if (!exists) return {};
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace

TIniFile::TIniFile(std::string path, std::string displayName)
    : path_(std::move(path)), displayName_(std::move(displayName)) {}

std::string TIniFile::ReadFromText(const std::string& text, const std::string& section,
                                   const std::string& key, const std::string& defaultValue) {
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
  return defaultValue;
}

std::string TIniFile::WriteToText(const std::string& text, const std::string& section,
                                  const std::string& key, const std::string& value) {
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
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  bool exists = false;
  std::string text = ReadWholeFile(path_, exists);
  if (!exists) return defaultValue;
  return ReadFromText(text, section, key, defaultValue);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) const {
  const ESettingsWriteError failure("Unable to write to " + displayName_);
  mode_t mode = 0644;
  struct stat st;
  if (stat(path_.c_str(), &st) == 0) {
    // A file without write permission is read-only even for root.
    if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
        access(path_.c_str(), W_OK) != 0) {
      throw failure;
    }
    mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    throw failure;
  }
  bool exists = false;
  std::string text = WriteToText(ReadWholeFile(path_, exists), section, key, value);

  std::string temp = path_ + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) throw failure;
  bool ok = fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && std::rename(temp.c_str(), path_.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    throw failure;
  }
}

}  // namespace vantelo::routing
