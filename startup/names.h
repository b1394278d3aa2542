// Name helpers that cut and join the texts of a download's destination path.
//
// Texts are byte strings; every comparison is byte-exact. None of them raises.
// A destination is FixPath(folder) + StripExtension(name) + "-" + date + "." +
// GetExtension(name), where name = GetFileFromURL(url).
#pragma once

#include <string>

namespace modMain {

// `p` with "/" appended, unless it already ends in "/". "" gives "/".
std::string FixPath(const std::string& p);

// The part of `u` after its last "/": `u` whole when it has none, "" when it
// ends in "/".
std::string GetFileFromURL(const std::string& u);

// The part of `n` before its first ".": "" when `n` has no "." or begins with
// one ("README" and ".profile" both give "").
std::string StripExtension(const std::string& n);

// The part of `n` after its last ".": `n` whole when it has none, "" when it
// ends in ".".
std::string GetExtension(const std::string& n);

}  // namespace modMain
