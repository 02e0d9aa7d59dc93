// A pool of its own for each test: a fresh database on the test cluster
// (scripts/pg-cluster.sh, started by the CTest fixture), a key file, a journal
// directory, and SQL to look at and change the rows behind the program's back.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "pool_admin.h"
#include "pool_db.h"
#include "station_pool.h"

namespace pooltest {

// 32 bytes of the pool key, as its file holds them.
inline constexpr char kKeyHex[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
inline constexpr char kOtherKeyHex[] = "ff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

inline std::string ClusterConninfo() {
  std::ifstream file(std::string(POOL_CLUSTER_DIR) + "/conninfo");
  std::string conninfo;
  std::getline(file, conninfo);
  return conninfo;
}

inline void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ::chmod(path.c_str(), mode);
}

inline int ClusterCommand(const char* command) {
  const std::string line =
      std::string("bash ") + POOL_CLUSTER_SCRIPT + " " + command + " " + POOL_CLUSTER_DIR + " >/dev/null";
  return std::system(line.c_str());
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string cluster = ClusterConninfo();
    ASSERT_FALSE(cluster.empty()) << "no cluster: run the tests through ctest (fixture pool_cluster)";
    static std::atomic<int> counter{0};
    m_database = "pool_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    auto server = pool::Connection::Open(cluster);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<pool::Connection>>(server)) << std::get<std::string>(server);
    m_server = std::move(std::get<std::unique_ptr<pool::Connection>>(server));
    ASSERT_TRUE(m_server->Exec("CREATE DATABASE " + m_database).Ok()) << m_server->LastError();
    m_conninfo = cluster + " dbname=" + m_database;
    auto sql = pool::Connection::Open(m_conninfo);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<pool::Connection>>(sql));
    m_sql = std::move(std::get<std::unique_ptr<pool::Connection>>(sql));
    m_keyFile = Path("pool.key");
    WriteFile(m_keyFile, std::string(kKeyHex) + "\n");
    auto admin = pool::PoolAdmin::Connect(m_conninfo);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<pool::PoolAdmin>>(admin));
    m_admin = std::move(std::get<std::unique_ptr<pool::PoolAdmin>>(admin));
    ASSERT_FALSE(m_admin->Init(Key()).has_value());
  }

  void TearDown() override {
    m_admin.reset();
    m_sql.reset();
    Reopen(&m_server, ClusterConninfo());
    if (m_server) m_server->Exec("DROP DATABASE IF EXISTS " + m_database + " WITH (FORCE)");
  }

  // A connection of the test's own, made anew after the server was stopped.
  static void Reopen(std::unique_ptr<pool::Connection>* connection, const std::string& conninfo) {
    if (*connection && !(*connection)->Exec("SELECT 1").Ok()) connection->reset();
    if (*connection) return;
    auto opened = pool::Connection::Open(conninfo);
    if (auto* made = std::get_if<std::unique_ptr<pool::Connection>>(&opened)) *connection = std::move(*made);
  }

  std::string Path(const std::string& name) const { return m_dir.filePath(QString::fromStdString(name)).toStdString(); }

  pool::PoolKey Key() const { return *pool::PoolKey::FromHex(kKeyHex); }

  pool::StationOptions Station(const std::string& name) const {
    pool::StationOptions options;
    options.conninfo = m_conninfo;
    options.keyFile = m_keyFile;
    options.station = name;
    options.operatorName = "operator of " + name;
    options.journalPath = Path("journal-" + name + ".jsonl");
    return options;
  }

  std::unique_ptr<pool::StationPool> OpenStation(const std::string& name) {
    auto opened = pool::StationPool::Open(Station(name));
    if (auto* why = std::get_if<std::string>(&opened)) {
      ADD_FAILURE() << "station " << name << ": " << *why;
      return nullptr;
    }
    return std::move(std::get<std::unique_ptr<pool::StationPool>>(opened));
  }

  // A seed file's rows: serial and secret.
  void LoadFixed(const std::vector<std::pair<std::string, pool::Bytes>>& rows) {
    std::vector<pool::SeedEntry> entries;
    for (const auto& [serial, secret] : rows) {
      pool::SeedEntry e;
      e.serial = serial;
      e.secret = pool::SecretBytes(secret);
      e.where = "line " + std::to_string(entries.size() + 1);
      entries.push_back(std::move(e));
    }
    auto loaded = m_admin->Load(Key(), entries);
    ASSERT_TRUE(std::holds_alternative<int64_t>(loaded)) << std::get<std::string>(loaded);
  }

  // A run that ended leaves its lock to the server, which lets go of it once
  // its session's end is noticed, a moment later.
  void WaitUntilNotRunning(const std::string& station) {
    for (int i = 0; i < 100; ++i) {
      if (Sql("SELECT orvex_pool.station_running('" + station + "')") == "f") return;
      ::usleep(20000);
    }
    ADD_FAILURE() << "station " << station << " still holds its lock";
  }

  void Generate(int count) {
    auto made = m_admin->Generate(Key(), count, 20);
    ASSERT_TRUE(std::holds_alternative<int64_t>(made)) << std::get<std::string>(made);
  }

  // One value of the first row of a query, as text ("<null>" for NULL).
  std::string Sql(const std::string& query) {
    Reopen(&m_sql, m_conninfo);
    if (!m_sql) return "<no connection>";
    pool::Result result = m_sql->Exec(query);
    EXPECT_TRUE(result.Ok()) << query << ": " << result.Error();
    if (!result.Ok() || result.Rows() == 0) return "<no row>";
    return result.OptionalText(0, 0).value_or("<null>");
  }

  std::string m_conninfo;
  std::string m_keyFile;
  std::unique_ptr<pool::PoolAdmin> m_admin;
  std::unique_ptr<pool::Connection> m_sql;

 private:
  QTemporaryDir m_dir;
  std::string m_database;
  std::unique_ptr<pool::Connection> m_server;
};

inline pool::Bytes BytesOf(const std::string& text) { return pool::Bytes(text.begin(), text.end()); }

inline pool::SeedClaim ClaimOk(pool::StationPool& station, const std::string& serial, const std::string& reader = "R1") {
  auto claimed = station.Claim(serial, reader);
  if (auto* refused = std::get_if<pool::ClaimRefused>(&claimed)) {
    ADD_FAILURE() << "claim of " << serial << " refused: " << refused->text;
    return {};
  }
  return std::move(std::get<pool::SeedClaim>(claimed));
}

}  // namespace pooltest
