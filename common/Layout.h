// The installation layout: every path is the installation root followed by one of these.
#pragma once

namespace quor::layout {

inline constexpr wchar_t kSettingsFile[] = L"\\settings.ini";
inline constexpr wchar_t kSettingsSection[] = L"QuorKAV";
inline constexpr wchar_t kArchiverExe[] = L"\\Apache\\bin\\bi.exe";
inline constexpr wchar_t kDataFolder[] = L"\\Data";
inline constexpr wchar_t kMysqlDataFolder[] = L"\\MySQL\\Data";
inline constexpr wchar_t kWorkFolder[] = L"\\Tmp";
inline constexpr wchar_t kRestoreArchive[] = L"\\.quordbrestore.tmp";
inline constexpr wchar_t kLogFile[] = L"\\backup.log";
inline constexpr wchar_t kApacheExe[] = L"\\Apache\\bin\\httpd.exe";
inline constexpr wchar_t kMysqlExe[] = L"\\MySQL\\bin\\mysqld-nt.exe";
inline constexpr wchar_t kHttpdConf[] = L"\\Apache\\conf\\httpd.conf";
inline constexpr wchar_t kMyIni[] = L"\\MySQL\\my.ini";
// KavSafe's default backup folder, after the drive of the installation root.
inline constexpr wchar_t kDefaultBackupFolder[] = L"\\QuorBak\\";

inline constexpr wchar_t kMysqlService[] = L"QUOR_MySQL";
inline constexpr wchar_t kApacheService[] = L"QUOR_Apache";

} // namespace quor::layout
