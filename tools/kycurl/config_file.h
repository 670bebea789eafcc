// -K/--config: a file of options, one a line, read as curl reads its config files. "name value",
// "name = value" or "name: value" (a name without dashes is a long option), "-X value" or "--name value";
// a value in double quotes may hold spaces and the escapes \t \n \r \v and \"; '#' starts a comment line.
// A line kycurl cannot use is a warning, not an error, and the file's other lines still count.
#ifndef KYCURL_CONFIG_FILE_H
#define KYCURL_CONFIG_FILE_H

#include <string>
#include <vector>

namespace kycurl {

// Appends to args the command-line arguments the file ("-": standard input) stands for, in order. False
// with a message in error when the file cannot be read.
bool ReadConfigFile(const std::string& path, std::vector<std::string>& args, std::string& error);

// The arguments of the lines in text; warnings name the file as shownName.
void ConfigArguments(const std::string& text, const std::string& shownName, std::vector<std::string>& args);

}  // namespace kycurl

#endif
