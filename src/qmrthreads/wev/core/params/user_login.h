// Web users: the numbered user_name_N and user_pwd_N parameters.
#pragma once

// -1 for a null or empty name or no such user; N when user_name_N is name and
// user_pwd_N is password; -2 when the password does not match.
int checkUserLogin(const char* name, const char* password);
