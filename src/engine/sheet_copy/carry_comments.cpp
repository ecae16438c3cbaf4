// SPDX-License-Identifier: MIT
// Carriers of VML drawings, threaded comments and comments.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/session_helpers.h"
#include "engine/sml/object_ids.h"
#include "engine/xml/xml_dom.h"
#include "engine/xml/xml_scanner.h"

#include <regex>

namespace tessaro::xlsx {

using session::forEachElement;

std::string CopySession::processVml(std::string text)
{
    if (!vmlBlocks_.empty())
        text = moveShapeBlocks(text, vmlBlocks_);
    // Form controls drawn here read and write cells.
    static const std::regex fmla(R"((<x:Fmla(?:Link|Range)>)([^<]*)(</x:Fmla(?:Link|Range)>))");
    if (text.find("<x:Fmla") != std::string::npos) {
        place_ = "a form control";
        std::string out;
        std::size_t last = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), fmla), end; it != end; ++it) {
            const auto& m = *it;
            out.append(text, last, static_cast<std::size_t>(m.position(0)) - last);
            std::string t;
            appendEscapedText(t, translated(decodeXml(m.str(2))));
            out += m.str(1) + t + m.str(3);
            last = static_cast<std::size_t>(m.position(0) + m.length(0));
        }
        out.append(text, last, std::string::npos);
        text = std::move(out);
    }
    return text;
}

void CopySession::processThreaded(pugi::xml_document& doc)
{
    forEachElement(doc.document_element(), [&](pugi::xml_node n) {
        if (localNameOf(n.name()) != "threadedComment")
            return;
        for (const char* a : {"id", "parentId"})
            if (pugi::xml_attribute x = n.attribute(a))
                if (auto it = guids_.find(x.value()); it != guids_.end())
                    x.set_value(it->second.c_str());
        ensurePerson(n.attribute("personId").value());
        forEachElement(n, [&](pugi::xml_node m) {
            if (localNameOf(m.name()) == "mention")
                ensurePerson(m.attribute("mentionpersonId").value());
        });
    });
}

std::string CopySession::processComments(std::string text)
{
    // The legacy copy of a threaded comment names the thread by its id.
    for (const auto& [from, to] : guids_) {
        if (from == to)
            continue;
        std::size_t at = 0;
        while ((at = text.find(from, at)) != std::string::npos) {
            text.replace(at, from.size(), to);
            at += to.size();
        }
    }
    return text;
}

} // namespace tessaro::xlsx
