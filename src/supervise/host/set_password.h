// qor-ndi-supervise --set-password [--password-file FILE]: the status page's
// password, asked twice at a terminal or read as one line from a pipe, stored
// as its hash (set_password.cpp).
#pragma once
#include <string>
#include <vector>

// The file both the command and the run use unless --password-file names
// another: "password" beside the default sources file.
std::string password_default_path();

// args begin with --set-password. Returns the exit code: 0 stored, 64 a
// refused password or wrong arguments, 1 the file could not be written.
int set_password_main(const std::vector<std::string>& args);
