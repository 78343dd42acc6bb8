// Private-profile files: small text files of "[section]" headers followed by
// "key=value" lines or plain entry lines, read and written whole.
//
//   IniReadString     the value of one key of one section
//   IniReadSection    every entry line of one section, whole
//   IniSectionNames   the names of the file's sections, in file order
//   IniWriteString    set one key (creating the file and the section)
//   IniDeleteKey      remove one key from a section
//   IniDeleteSection  remove a section with all its lines
//
// Format: a line whose trimmed text starts with '[' and holds a later ']'
// is a section header; its name is the trimmed text between them. Inside a
// section, a line with '=' is a key (the trimmed text before the first '=')
// with its value (the trimmed text after it); a line starting with ';' is a
// comment. Lines end with LF or CR LF. Section and key names compare without
// regard to ASCII case; where a name occurs twice, the first one counts.
// Lines before the first header belong to no section and are kept.
//
// Several processes read these files while one rewrites them: a change is
// written to a new file beside the old one (created exclusively, fsync'ed)
// and renamed over it, so a reader always sees one whole file and the file
// is never missing. The file keeps its permission bits. Concurrent writers
// do not merge: the last rename wins.
//
// Bad input: a file over 16 MiB is refused (a read finds nothing, a write
// fails and leaves the file as it was). Names or values holding CR, LF or
// NUL, a section name holding ']', a key holding '=' or starting with '[' or
// ';', or an empty name are refused, so no value can start a new record.
// Never throws; any thread may call these (each call reads the file afresh).
#pragma once

#include <string>
#include <vector>

namespace platform {

// The value of key in section, trimmed of blanks. False when the file, the
// section or the key is missing or the file cannot be read.
bool IniReadString(const std::string& path, const std::string& section, const std::string& key,
                   std::string& value);

// Replaces lines with every non-empty, non-comment line of the section,
// trimmed, in file order ("key=value" lines as they stand). False when the
// file or the section is missing or cannot be read (lines then empty).
bool IniReadSection(const std::string& path, const std::string& section,
                    std::vector<std::string>& lines);

// Replaces names with the section names in file order, each once. False
// when the file is missing or cannot be read (names then empty).
bool IniSectionNames(const std::string& path, std::vector<std::string>& names);

// Sets key=value in section: replaces the key's first line, or adds the key
// at the end of the section, or adds the section at the end of the file, or
// creates the file (mode 0644). The file's directory must exist.
bool IniWriteString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value);

// Removes every line of key from section. True also when the key or the
// section is absent (nothing to do); false when the file cannot be read or
// rewritten (a missing file counts as done).
bool IniDeleteKey(const std::string& path, const std::string& section, const std::string& key);

// Removes every section of that name with its lines; the same results.
bool IniDeleteSection(const std::string& path, const std::string& section);

}  // namespace platform
