#pragma once
// Reading a credential from standard input for "parcelwing --set-password" and
// "parcelwing --set-user": on a terminal it asks for it (the password without
// echo, the user name shown as typed); from a pipe it takes the first line.

#include <cstdio>
#include <string>

namespace pw {

// The longest password or user name that can be stored: its protected form
// must fit an INI value (4,095 characters, four for every three bytes).
inline constexpr std::size_t MaxPasswordLength = 3069;
inline constexpr std::size_t MaxUserNameLength = MaxPasswordLength;

// Reads one line from `fd` (up to LF or the end of the input; a CR before the
// LF is dropped). When `fd` is a terminal, "Password: " goes to `prompt` first
// and echo is off while the line is typed (and back on even when a signal ends
// the program meanwhile). False with a reason when nothing, an empty line or a
// too long line came, or the input could not be read.
bool ReadPassword(int fd, std::FILE* prompt, std::string& password, std::string& error);

// The same for the user name, with "User name: " as the prompt and the echo
// left as the terminal has it, so the name is seen while it is typed. The
// errors name the user name instead of the password.
bool ReadUserName(int fd, std::FILE* prompt, std::string& userName, std::string& error);

// Overwrites the text's bytes before it is released.
void WipeText(std::string& text);

}  // namespace pw
