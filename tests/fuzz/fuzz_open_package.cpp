// SPDX-License-Identifier: MIT
// Opening a package: the zip directory, every part read whole and as a stream, the content
// types and the relationships of every part; then a save with one part added, which must
// open again.
#include "fuzz_input.h"

#include "engine/opc/engine_context.h"
#include "platform/engine_error.h"
#include "engine/opc/package.h"

#include <memory>

using namespace tessaro;
using namespace tessaro::xlsx;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto file = fuzz::writeScratch("package.xlsx", fuzz::workbookBytes({reinterpret_cast<const char*>(data), size}));
    EngineOptions options;
    options.wholePartLimit = 8u << 20;
    options.inflateLimits.maxTotal = 32u << 20;
    options.lockWait = std::chrono::milliseconds(0);
    auto context = std::make_shared<EngineContext>(options);
    std::size_t parts = 0;
    try {
        Package package(file, "package.xlsx", context);
        std::vector<std::string> names = package.partNames();
        for (const std::string& name : names) {
            package.contentTypes().typeOf(name);
            try {
                package.readPart(name);
            } catch (const EngineError&) {
            }
            try {
                auto reader = package.openPart(name);
                char buffer[16384];
                while (reader->read(buffer, sizeof buffer) > 0) {
                }
            } catch (const EngineError&) {
            }
            try {
                Relationships& rels = package.relationships(name);
                for (const Relationship& r : rels.all())
                    if (!r.external)
                        package.hasPart(rels.resolve(r));
            } catch (const EngineError&) {
            }
        }
        package.relationships("/");
        parts = names.size();
        package.putPart("/xl/fuzz-added.xml", "<added/>");
        package.saveAs(fuzz::scratch() / "package-out.xlsx", "package-out.xlsx");
    } catch (const EngineError&) {
        return 0;
    }
    try {
        Package again(fuzz::scratch() / "package-out.xlsx", "package-out.xlsx", context);
        if (again.partNames().size() != parts + 1)
            fuzz::violated("a saved package lost or gained parts");
    } catch (const EngineError& e) {
        fuzz::violated(std::string("a package saved by the engine does not open again: ") + e.what());
    }
    return 0;
}
