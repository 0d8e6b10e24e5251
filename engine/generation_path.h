#pragma once
// Paths inside a generation, as the user names part of one (-ONLY): relative
// to the source, names separated by '/' on every platform. A partial restore
// and the list of one entry's versions both split them here and walk them
// here, so that both read the same names the same way.

#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"
#include "res/language.h"

namespace veldar {

// Splits `path` into its names. Refused, with `*error` saying why in
// `language` (the path named): an empty path, one beginning with '/' (it is
// relative to the source), an empty name ("a//b"), "." or "..", a backslash
// (names are separated by '/'), a control character. One trailing '/' is
// allowed ("reports/"). On success `*error` is empty.
bool SplitGenerationPath(const std::string& path, std::vector<std::string>* names, std::string* error,
                         Language language = Language::kJapanese);

// Walks `names` down from the open directory `root`: every name on the way is
// opened through its parent's handle without following a link. On success
// `*parent` holds the directory that holds the last name (left empty when
// that is `root` itself) and `*status` the last name's status, a link there
// reported as a link. On failure: kNotFound where a name is missing,
// kNotDirectory where one on the way is no directory (a file, a link).
Status WalkGenerationPath(OsDir& root, const std::vector<std::string>& names, std::unique_ptr<OsDir>* parent,
                          FileStatus* status);

}  // namespace veldar
