// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro::xlsx {

// The two classes of Office Open XML: the transitional one most workbooks use, and the strict
// one, whose markup is the same but whose namespaces and relationship types are spelt under
// http://purl.oclc.org/ooxml/. The engine works on transitional markup throughout; a strict
// package is translated as its parts are read and written.
enum class Conformance : unsigned char { Transitional, Strict };

// `uri` as the class `to` spells it: a namespace or relationship type of the other class
// becomes its counterpart; anything else (package namespaces, extensions, URIs nobody
// defines) is returned as it is.
std::string uriIn(Conformance to, std::string_view uri);
// The class that spells `uri` its own way; nothing for a URI both classes share.
std::optional<Conformance> classOfUri(std::string_view uri);

// The XML text with every attribute value that is a namespace or relationship type of the
// other class (declarations, relationship types, graphic data kinds) spelt as `to` spells it.
// Text, comments and everything else stay byte for byte. Nothing when no value changes.
std::optional<std::string> translateXml(std::string_view xml, Conformance to);

} // namespace tessaro::xlsx
