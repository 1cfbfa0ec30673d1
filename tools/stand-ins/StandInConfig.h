// Where a stand-in server finds its installation root, its port and its files, and how it
// reads its service name from the command line the service manager gives it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quor::standin {

// Which server a stand-in imitates.
enum class Flavour { Apache, MySql };

// "Apache" or "MySQL": the server's folder under the installation root.
const wchar_t* ServerFolder(Flavour flavour);

// Port used when the configuration names none: 80 for Apache, 3306 for MySQL.
unsigned short DefaultPort(Flavour flavour);

// The installation root: two folders up from the program's folder (<root>\Apache\bin).
std::wstring InstallationRootOf(std::wstring_view programPath);

// <root>\Apache\conf\httpd.conf or <root>\MySQL\my.ini.
std::wstring ConfigPath(const std::wstring& root, Flavour flavour);
// <root>\<Apache|MySQL>\logs: standin.log and (Apache) last-request.txt live here.
std::wstring LogFolder(const std::wstring& root, Flavour flavour);

// Port of the first non-comment "Listen N" line (keyword in any case; "Listen host:N" too).
// Returns 0 when no line names a valid port.
unsigned short ParseListenPort(std::string_view conf);
// Port of the first "port=N" line of my.ini (spaces around '=' allowed). 0 when none.
unsigned short ParseMysqlPort(std::string_view ini);

// The port the stand-in listens on: read from its configuration file, else the default.
unsigned short ReadPort(const std::wstring& root, Flavour flavour);

// True when the configuration has the line "refuse_stop=1": the service then does not accept
// the stop control, as a hung server's service would not (for the tests of its callers).
bool RefusesStop(const std::wstring& root, Flavour flavour);

// The arguments that follow the program path in a command line. The service manager may
// hand over the registered command line with an unquoted program path that contains spaces;
// when the line starts with programPath itself, that whole path is skipped rather than split.
std::vector<std::wstring> ArgumentsAfterProgram(std::wstring_view commandLine,
                                                std::wstring_view programPath);

// Service name from the arguments: Apache takes the word after "-n", MySQL its first
// argument. Empty when the arguments name none.
std::wstring ServiceNameFrom(Flavour flavour, const std::vector<std::wstring>& arguments);

// True when the arguments ask for a foreground run ("-console" or "--console").
bool WantsConsole(const std::vector<std::wstring>& arguments);

} // namespace quor::standin
