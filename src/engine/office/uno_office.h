// SPDX-License-Identifier: MIT
// The LibreOffice process behind Office, for the files that speak UNO.
#pragma once

#include "engine/office/office.h"
#include "engine/office/process.h"
#include "platform/spreadsheet_automation.h"

#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XMultiComponentFactory.hpp>
#include <com/sun/star/uno/Exception.hpp>
#include <com/sun/star/uno/RuntimeException.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <rtl/ustring.hxx>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace tessaro::office {

namespace css = com::sun::star;

// LibreOffice cannot be started at all (not installed, not runnable); the text says why and
// what to do, without naming a workbook.
class OfficeUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string toUtf8(const rtl::OUString& s);
rtl::OUString fromUtf8(const std::string& s);
// A file URL for a local path, every byte outside the unreserved set percent-encoded.
rtl::OUString fileUrl(const std::filesystem::path& p);

struct Office::Impl {
    explicit Impl(OfficeOptions opts);
    ~Impl();

    // Starts the process when none runs (or the one that ran has died). Throws
    // OfficeUnavailable, or AutomationError when a start fails.
    void ensureRunning(const std::filesystem::path& forFile);
    void shutdown() noexcept;

    // Whether something started under `gen` is still in the running process.
    bool current(int gen) const { return process_ && generation_ == gen && !dead_; }
    int generation() const { return generation_; }

    const css::uno::Reference<css::uno::XComponentContext>& context() const { return context_; }
    const css::uno::Reference<css::lang::XMultiComponentFactory>& services() const { return services_; }

    // Runs remote calls under the call deadline and turns every UNO failure into an
    // AutomationError naming `file`: a dead or hung office is ended (the next need starts
    // another), anything else is reported as LibreOffice's own failure.
    // `plainFailure`, when given, replaces LibreOffice's own words for a failure that is not
    // the office's death (load errors come as bare error codes).
    template <class F>
    auto run(const std::filesystem::path& file, const std::string& doing, F&& f,
             const std::string& plainFailure = {}) -> decltype(f())
    {
        std::lock_guard lock(mutex_);
        Deadline deadline(*this, options.callTimeout);
        try {
            return f();
        } catch (const AutomationError&) {
            throw;
        } catch (const css::lang::DisposedException& e) {
            failed(file, doing, toUtf8(e.Message), true, plainFailure);
        } catch (const css::uno::RuntimeException& e) {
            failed(file, doing, toUtf8(e.Message), false, plainFailure);
        } catch (const css::uno::Exception& e) {
            failed(file, doing, toUtf8(e.Message), false, plainFailure);
        }
    }

    // Throws the AutomationError for a failed call, ending the office first when the call
    // met a dead or hung one.
    [[noreturn]] void failed(const std::filesystem::path& file, const std::string& doing, const std::string& message,
                             bool disposed, const std::string& plainFailure);

    OfficeOptions options;
    std::filesystem::path soffice;

    mutable std::recursive_mutex mutex_;
    int starts_ = 0;
    std::chrono::milliseconds lastStart_{0};
    std::unique_ptr<ChildProcess> process_;
    std::filesystem::path profile_;
    bool dead_ = false;

private:
    class Deadline {
    public:
        Deadline(Impl& impl, std::chrono::milliseconds limit);
        ~Deadline();
        Deadline(const Deadline&) = delete;
        Deadline& operator=(const Deadline&) = delete;

    private:
        Impl& impl_;
    };

    void start(const std::filesystem::path& forFile);
    void connect(const std::string& pipe, const std::filesystem::path& forFile);
    void configureProfile();
    // Ends the process without asking it (after a death or a hang), keeping the object
    // ready for the next start.
    void discard() noexcept;
    bool answers() noexcept;
    void watch();

    int generation_ = 0;
    css::uno::Reference<css::lang::XComponent> bridge_;
    css::uno::Reference<css::uno::XComponentContext> context_;
    css::uno::Reference<css::lang::XMultiComponentFactory> services_;

    std::mutex watchMutex_;
    std::condition_variable watchCv_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::chrono::milliseconds deadlineLimit_{0};
    bool timedOut_ = false;
    bool stopWatching_ = false;
    ChildProcess* watched_ = nullptr;
    std::thread watcher_;
};

} // namespace tessaro::office
