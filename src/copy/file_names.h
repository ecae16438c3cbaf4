// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace tessaro {

// The part of a path after its last separator: "/a/b.xls" gives "b.xls"; a path that ends
// with a separator gives empty text; a path without one is returned whole.
std::string FileNameOf(const std::string& path);

// A file name without its last dot and what follows: "a.b.xls" gives "a.b", ".xls" gives
// empty text, "noext" stays as it is.
std::string StripExtension(const std::string& name);

// What follows the last dot or blank of a name: "My Book.xls" gives "xls", "Book." empty
// text, "My Book" gives "Book", and "Book1" (neither dot nor blank) the whole name.
std::string ExtensionOf(const std::string& name);

} // namespace tessaro
