// A small data-access layer over SQLite in the shape the windows use: one
// connection that opens on first use and stays open, read-only queries that
// are read field by field, and commands that are executed.
//
// Statement texts are kept exactly as the program writes them, with values in
// double quotes (a double quote inside a value doubled). They are handed to
// SQLite with every double-quoted value bound as a parameter, so a value is
// always data: never a column name, never SQL. Text comparisons ignore ASCII
// letter case, as the route file always has.
//
// A query reads its whole result when it is opened and releases the engine's
// statement before Open returns, so no read lock outlives a lookup: another
// program can write the file between two lookups, and the next lookup sees it.
// Vantelo's own statements wait at most 1 s for another program's lock.
//
// The file can be deleted or replaced (a backup put back, a new one made)
// while the connection is open. Each use first checks that the file at the
// path is still the one open: a replaced file is opened afresh, a deleted one
// fails like a missing one. Each is logged once (routing/routing_log.h) however
// many connections notice it, and so is a deleted file's return.
//
// GUI thread only. Every failure raises EDatabaseError.
#pragma once

#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vantelo::routing {

class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& what, bool busy = false)
      : std::runtime_error(what), Busy(busy) {}
  // The file was locked by another program for longer than the busy wait: the
  // same statement may well succeed later.
  bool Busy;
};

class TADOConnection {
 public:
  explicit TADOConnection(std::string connectionString);
  ~TADOConnection();
  TADOConnection(const TADOConnection&) = delete;
  TADOConnection& operator=(const TADOConnection&) = delete;

  const std::string ConnectionString;
  // The file named by "Data Source=" in the connection string, relative to the
  // current directory.
  std::string DataSource() const;
  bool Connected() const { return db_ != nullptr; }
  // Opens the existing file read-write (never creates it). A failed open
  // raises and leaves the connection closed, to be tried at the next use.
  void Open();
  // Opens first if needed, or afresh when the file at the path is no longer
  // the one open.
  sqlite3* Handle();

 private:
  bool StillTheOpenFile();
  void Close();
  sqlite3* db_ = nullptr;
  dev_t device_ = 0;  // the open file
  ino_t inode_ = 0;
};

// A read-only query: Close, set SQL, Open, read fields, Next until Eof. The
// rows are read at Open; fields and Next work on that copy.
class TADOQuery {
 public:
  explicit TADOQuery(TADOConnection& connection) : connection_(connection) {}
  ~TADOQuery();
  TADOQuery(const TADOQuery&) = delete;
  TADOQuery& operator=(const TADOQuery&) = delete;

  void Close();
  void SetSQL(const std::string& text);  // the statement list holds this one line
  const std::string& SQL() const { return sql_; }
  // Runs the statement and stands on its first row.
  void Open();
  // Column i of the current row as text; NULL and no row give "".
  std::string FieldText(int i) const;
  bool Eof() const { return row_ >= rows_.size(); }
  void Next();

 private:
  TADOConnection& connection_;
  std::string sql_;
  std::vector<std::vector<std::string>> rows_;  // NULL read as ""
  std::size_t row_ = 0;
};

class TADOCommand {
 public:
  explicit TADOCommand(TADOConnection& connection) : connection_(connection) {}
  std::string CommandText;
  void Execute();

 private:
  TADOConnection& connection_;
};

// Pastes a value between double quotes as the engine reads it: a double quote
// inside the value is doubled, so the value can never end its literal early.
std::string Quoted(const std::string& value);

// The statement as SQLite receives it (each double-quoted value replaced by a
// parameter compared without case), with the values to bind. Exposed for tests.
struct TBoundStatement {
  std::string sql;
  std::vector<std::string> values;
};
TBoundStatement BindQuotedValues(const std::string& statement);

}  // namespace vantelo::routing
