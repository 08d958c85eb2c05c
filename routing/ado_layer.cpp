#include "routing/ado_layer.h"

#include <cerrno>
#include <climits>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "routing/routing_log.h"

namespace vantelo::routing {
namespace {

// Another program holding the file: wait at most this long, then fail.
constexpr int kBusyTimeoutMs = 1000;

bool IsBusy(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  if (!db) throw EDatabaseError(what + ": no database");
  throw EDatabaseError(what + ": " + sqlite3_errmsg(db), IsBusy(sqlite3_extended_errcode(db)));
}

// What the log last said about each route file, shared by all connections
// to it, so that one deletion or replacement makes one line.
struct TFileNote {
  bool known = false;  // device and inode hold the file last opened
  bool gone = false;   // logged as deleted, not yet back
  dev_t device = 0;
  ino_t inode = 0;
};

// Keyed by the whole path: the same relative path names another file in
// another working folder.
TFileNote& NoteOf(const std::string& path) {
  static std::map<std::string, TFileNote> notes;
  std::string key = path;
  if (key.empty() || key[0] != '/') {
    char folder[PATH_MAX];
    if (getcwd(folder, sizeof folder)) key = std::string(folder) + "/" + key;
  }
  return notes[key];
}

// Finalizes a statement when it goes out of scope.
struct TStatement {
  sqlite3_stmt* stmt;
  ~TStatement() { sqlite3_finalize(stmt); }
};

sqlite3_stmt* Prepare(TADOConnection& connection, const std::string& statement) {
  TBoundStatement bound = BindQuotedValues(statement);
  sqlite3* db = connection.Handle();
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, bound.sql.c_str(), static_cast<int>(bound.sql.size()), &stmt,
                         nullptr) != SQLITE_OK) {
    Fail(db, "cannot prepare \"" + statement + "\"");
  }
  for (std::size_t i = 0; i < bound.values.size(); ++i) {
    const std::string& v = bound.values[i];
    if (sqlite3_bind_text(stmt, static_cast<int>(i + 1), v.data(), static_cast<int>(v.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
      TStatement discard{stmt};
      Fail(db, "cannot bind a value");
    }
  }
  return stmt;
}

}  // namespace

std::string Quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

TBoundStatement BindQuotedValues(const std::string& statement) {
  TBoundStatement bound;
  std::size_t i = 0;
  while (i < statement.size()) {
    char c = statement[i];
    if (c == '\'') {  // a single-quoted literal passes unchanged
      std::size_t end = i + 1;
      while (end < statement.size()) {
        if (statement[end] == '\'') {
          if (end + 1 < statement.size() && statement[end + 1] == '\'') {
            end += 2;
            continue;
          }
          break;
        }
        ++end;
      }
      bound.sql.append(statement, i, end + 1 - i);
      i = end + 1;
    } else if (c == '"') {
      std::string value;
      std::size_t j = i + 1;
      for (; j < statement.size(); ++j) {
        if (statement[j] == '"') {
          if (j + 1 < statement.size() && statement[j + 1] == '"') {
            value += '"';
            ++j;
            continue;
          }
          break;
        }
        value += statement[j];
      }
      if (j >= statement.size()) throw EDatabaseError("unterminated value in statement");
      bound.values.push_back(std::move(value));
      bound.sql += "? COLLATE NOCASE";
      i = j + 1;
    } else {
      bound.sql += c;
      ++i;
    }
  }
  return bound;
}

TADOConnection::TADOConnection(std::string connectionString)
    : ConnectionString(std::move(connectionString)) {}

TADOConnection::~TADOConnection() { Close(); }

void TADOConnection::Close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

std::string TADOConnection::DataSource() const {
  const std::string key = "Data Source=";
  std::size_t start = ConnectionString.find(key);
  if (start == std::string::npos) return {};
  start += key.size();
  std::size_t end = ConnectionString.find(';', start);
  return ConnectionString.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void TADOConnection::Open() {
  if (db_) return;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(DataSource().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close_v2(db);
    throw EDatabaseError("cannot open " + DataSource() + ": " + message);
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  db_ = db;
  struct stat st;
  if (stat(DataSource().c_str(), &st) != 0) return;  // checked again at the next use
  device_ = st.st_dev;
  inode_ = st.st_ino;
  TFileNote& note = NoteOf(DataSource());
  if (note.gone) {
    RoutingLog(TRoutingLogSource::Store, TRoutingLogLevel::Info,
               DataSource() + " is there again: routes are read from it");
  } else if (note.known && (note.device != device_ || note.inode != inode_)) {
    RoutingLog(TRoutingLogSource::Store, TRoutingLogLevel::Info,
               DataSource() + " was replaced while Vantelo ran: routes are read from the new file");
  }
  note = {true, false, device_, inode_};
}

bool TADOConnection::StillTheOpenFile() {
  struct stat st;
  if (stat(DataSource().c_str(), &st) == 0) return st.st_dev == device_ && st.st_ino == inode_;
  if (errno != ENOENT) return true;  // cannot tell: go on with the open file
  // Still open, the deleted file would take saved routes to nowhere.
  TFileNote& note = NoteOf(DataSource());
  if (!note.gone) {
    RoutingLog(TRoutingLogSource::Store, TRoutingLogLevel::Warning,
               DataSource() +
                   " was deleted while Vantelo ran: no route can be read "
                   "or saved until it is back");
    note.gone = true;
  }
  return false;
}

sqlite3* TADOConnection::Handle() {
  if (db_ && !StillTheOpenFile()) Close();
  Open();
  return db_;
}

TADOQuery::~TADOQuery() = default;

void TADOQuery::Close() {
  rows_.clear();
  row_ = 0;
}

void TADOQuery::SetSQL(const std::string& text) {
  Close();
  sql_ = text;
}

void TADOQuery::Open() {
  Close();
  TStatement statement{Prepare(connection_, sql_)};
  const int columns = sqlite3_column_count(statement.stmt);
  int rc;
  while ((rc = sqlite3_step(statement.stmt)) == SQLITE_ROW) {
    std::vector<std::string> row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) {
      const unsigned char* text = sqlite3_column_text(statement.stmt, i);
      row.emplace_back(
          text ? reinterpret_cast<const char*>(text) : "",
          text ? static_cast<std::size_t>(sqlite3_column_bytes(statement.stmt, i)) : 0);
    }
    rows_.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    rows_.clear();
    Fail(sqlite3_db_handle(statement.stmt), "cannot read \"" + sql_ + "\"");
  }
}

std::string TADOQuery::FieldText(int i) const {
  if (Eof() || i < 0 || static_cast<std::size_t>(i) >= rows_[row_].size()) return {};
  return rows_[row_][static_cast<std::size_t>(i)];
}

void TADOQuery::Next() {
  if (!Eof()) ++row_;
}

void TADOCommand::Execute() {
  TStatement statement{Prepare(connection_, CommandText)};
  int rc;
  while ((rc = sqlite3_step(statement.stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    Fail(sqlite3_db_handle(statement.stmt), "cannot run \"" + CommandText + "\"");
  }
}

}  // namespace vantelo::routing
