// SPDX-License-Identifier: MIT
#include "engine/office/file_ops.h"
#include "engine/office/uno_office.h"

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/container/XNameReplace.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/lang/XMultiServiceFactory.hpp>
#include <com/sun/star/util/XChangesBatch.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <rtl/bootstrap.hxx>
#include <rtl/digest.h>

#include <fmt/format.h>

#include <csignal>
#include <mutex>

#include <signal.h>
#include <unistd.h>

namespace tessaro::office {

namespace fs = std::filesystem;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

namespace {

constexpr auto kStopGrace = std::chrono::seconds(10);

#ifndef TESSARO_LO_PROGRAM_DIR
#define TESSARO_LO_PROGRAM_DIR "/usr/lib/libreoffice/program"
#endif

fs::path defaultSoffice() { return fs::path(TESSARO_LO_PROGRAM_DIR) / "soffice"; }

// The client side of UNO, once per process: it only has to reach the office's pipe.
Reference<css::uno::XComponentContext> localContext()
{
    static const Reference<css::uno::XComponentContext> context = [] {
        // Set in-process, so nobody has to export URE_BOOTSTRAP; it brings the office's own
        // type databases, which the bridge needs to carry the API's types.
        rtl::Bootstrap::set("URE_BOOTSTRAP",
                            "vnd.sun.star.pathname:" + fromUtf8((fs::path(TESSARO_LO_PROGRAM_DIR) / "fundamentalrc").string()));
        return cppu::defaultBootstrap_InitialComponentContext();
    }();
    return context;
}

// LibreOffice's pipe writes do not suppress SIGPIPE: a request written to an office that
// has just died would end Tessaro instead of failing the call. A disposition someone chose
// on purpose is left alone.
void ignoreBrokenPipes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
    });
}

// A killed office cannot remove the sockets it listens on, and LibreOffice keeps them in /tmp
// (/var/tmp when /tmp cannot be written), whatever TMPDIR says: the pipe Tessaro connects by,
// and the one by which a second office of the same profile would hand its work over to the
// first, named by the MD5 digest of the profile's URL, each byte in hex without zero padding.
std::vector<std::string> officeSockets(const std::string& pipe, const OUString& profileUrl)
{
    sal_uInt8 digest[RTL_DIGEST_LENGTH_MD5];
    if (rtl_digest_MD5(profileUrl.getStr(), static_cast<sal_uInt32>(profileUrl.getLength()) * sizeof(sal_Unicode),
                       digest, sizeof digest) != rtl_Digest_E_None)
        return {};
    std::string hash;
    for (const sal_uInt8 b : digest)
        hash += fmt::format("{:x}", b);
    std::vector<std::string> sockets;
    const unsigned uid = ::getuid();
    for (const char* folder : {"/tmp", "/var/tmp"}) {
        sockets.push_back(fmt::format("{}/OSL_PIPE_{}_{}", folder, uid, pipe));
        sockets.push_back(fmt::format("{}/OSL_PIPE_{}_SingleOfficeIPC_{}", folder, uid, hash));
    }
    return sockets;
}

} // namespace

std::string toUtf8(const OUString& s)
{
    const rtl::OString bytes = rtl::OUStringToOString(s, RTL_TEXTENCODING_UTF8);
    return std::string(bytes.getStr(), static_cast<std::size_t>(bytes.getLength()));
}

OUString fromUtf8(const std::string& s)
{
    return OUString(s.data(), static_cast<sal_Int32>(s.size()), RTL_TEXTENCODING_UTF8);
}

OUString fileUrl(const fs::path& p)
{
    const std::string bytes = fs::absolute(p).lexically_normal().string();
    std::string url = "file://";
    for (unsigned char c : bytes) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~' || c == '/';
        if (keep)
            url.push_back(static_cast<char>(c));
        else
            url += fmt::format("%{:02X}", c);
    }
    return OUString::createFromAscii(url.c_str());
}

// --- Office ---------------------------------------------------------------------------

Office::Office(OfficeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Office::~Office() { stop(); }

void Office::stop() noexcept { impl_->shutdown(); }

bool Office::running() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->process_ && !impl_->process_->exited() && !impl_->dead_;
}

std::optional<int> Office::processGroup() const
{
    std::lock_guard lock(impl_->mutex_);
    if (!impl_->process_)
        return std::nullopt;
    return impl_->process_->pid();
}

std::optional<fs::path> Office::profileDir() const
{
    std::lock_guard lock(impl_->mutex_);
    if (impl_->profile_.empty())
        return std::nullopt;
    return impl_->profile_;
}

int Office::starts() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->starts_;
}

std::chrono::milliseconds Office::lastStartDuration() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->lastStart_;
}

fs::path Office::sofficePath() const { return impl_->soffice; }

bool Office::supported() { return true; }

// --- Office::Impl ---------------------------------------------------------------------

Office::Impl::Impl(OfficeOptions opts) : options(std::move(opts))
{
    soffice = options.soffice.empty() ? defaultSoffice() : options.soffice;
    watcher_ = std::thread([this] { watch(); });
}

Office::Impl::~Impl()
{
    shutdown();
    {
        std::lock_guard lock(watchMutex_);
        stopWatching_ = true;
    }
    watchCv_.notify_all();
    watcher_.join();
}

Office::Impl::Deadline::Deadline(Impl& impl, std::chrono::milliseconds limit) : impl_(impl)
{
    std::lock_guard lock(impl_.watchMutex_);
    impl_.timedOut_ = false;
    impl_.deadlineLimit_ = limit;
    impl_.deadline_ = std::chrono::steady_clock::now() + limit;
    impl_.watchCv_.notify_all();
}

Office::Impl::Deadline::~Deadline()
{
    std::lock_guard lock(impl_.watchMutex_);
    impl_.deadline_.reset();
    impl_.watchCv_.notify_all();
}

// A call that outlives its deadline is taken for a hung office: killing the process makes
// the bridge fail the blocked call, which then reports the timeout.
void Office::Impl::watch()
{
    std::unique_lock lock(watchMutex_);
    while (!stopWatching_) {
        if (!deadline_) {
            watchCv_.wait(lock);
            continue;
        }
        const auto until = *deadline_;
        if (watchCv_.wait_until(lock, until) == std::cv_status::timeout && deadline_ && *deadline_ == until) {
            timedOut_ = true;
            deadline_.reset();
            if (watched_)
                watched_->killGroup();
        }
    }
}

void Office::Impl::ensureRunning(const fs::path& forFile)
{
    std::lock_guard lock(mutex_);
    if (process_ && !dead_ && !process_->exited())
        return;
    if (process_)
        discard();
    start(forFile);
}

void Office::Impl::start(const fs::path& forFile)
{
    if (::access(soffice.c_str(), X_OK) != 0)
        throw OfficeUnavailable(fmt::format("LibreOffice is not installed ({} was not found). Install it with: "
                                            "sudo apt-get install libreoffice-calc-nogui",
                                            soffice.string()));
    const auto began = std::chrono::steady_clock::now();
    const fs::path parent = options.profileParent.empty() ? fs::temp_directory_path() : options.profileParent;
    const std::string token = uniqueToken();
    profile_ = parent / ("tessaro-office-" + token);
    std::error_code ec;
    fs::create_directories(profile_, ec);
    if (ec) {
        profile_.clear();
        throw AutomationError(ErrorCode::OfficeStartFailed, fmt::format("{}: LibreOffice could not be started: no profile folder in {} "
                                                        "({})",
                                                        forFile.string(), parent.string(), ec.message()));
    }
    const std::string pipe = "tessaro-" + token;
    const OUString profileUrl = fileUrl(profile_);
    const std::vector<std::string> args = {
        "--headless", "--invisible", "--nologo", "--norestore", "--nodefault", "--nolockcheck",
        "-env:UserInstallation=" + toUtf8(profileUrl),
        "--accept=pipe,name=" + pipe + ";urp;StarOffice.ComponentContext"};
    // LibreOffice's own temporary files go inside the profile, so that they go with it when an
    // office is killed (by the watchdog, or after a hang) and cannot clean up after itself.
    const fs::path scratch = profile_ / "tmp";
    std::vector<std::string> settings;
    if (fs::create_directory(scratch, ec) && !ec)
        settings.push_back("TMPDIR=" + scratch.string());
    try {
        std::vector<std::string> leftovers = officeSockets(pipe, profileUrl);
        leftovers.insert(leftovers.begin(), profile_.string());
        process_ = std::make_unique<ChildProcess>(soffice.string(), args, leftovers, settings);
    } catch (const std::system_error& e) {
        discard();
        throw OfficeUnavailable(fmt::format("LibreOffice could not be run ({}: {}). Install it with: sudo apt-get "
                                            "install libreoffice-calc-nogui",
                                            soffice.string(), e.code().message()));
    }
    {
        std::lock_guard watchLock(watchMutex_);
        watched_ = process_.get();
    }
    dead_ = false;
    ++starts_;
    connect(pipe, forFile);
    ++generation_;
    lastStart_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
}

void Office::Impl::connect(const std::string& pipe, const fs::path& forFile)
{
    const auto fail = [&](const std::string& why) {
        discard();
        throw AutomationError(ErrorCode::OfficeStartFailed, fmt::format("{}: LibreOffice could not be started ({}): {}",
                                                        forFile.string(), soffice.string(), why));
    };
    const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
    ignoreBrokenPipes();
    try {
        const Reference<css::uno::XComponentContext> local = localContext();
        const Reference<css::connection::XConnector> connector = css::connection::Connector::create(local);
        Reference<css::connection::XConnection> connection;
        // The pipe appears only once the office is ready to serve it.
        while (!connection.is()) {
            if (process_->exited())
                fail(fmt::format("it ended at start with status {}", process_->status().value_or(-1)));
            if (std::chrono::steady_clock::now() >= deadline)
                fail(fmt::format("it did not answer within {} seconds", options.startTimeout.count() / 1000));
            try {
                connection = connector->connect(fromUtf8("pipe,name=" + pipe));
            } catch (const css::connection::NoConnectException&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        Deadline callDeadline(*this, options.startTimeout);
        const Reference<css::bridge::XBridgeFactory2> bridges = css::bridge::BridgeFactory::create(local);
        const Reference<css::bridge::XBridge> bridge =
            bridges->createBridge(OUString(), "urp", connection, Reference<css::bridge::XInstanceProvider>());
        bridge_.set(bridge, UNO_QUERY_THROW);
        context_.set(bridge->getInstance("StarOffice.ComponentContext"), UNO_QUERY_THROW);
        services_ = context_->getServiceManager();
        if (!services_.is())
            fail("it offered no service manager");
        configureProfile();
    } catch (const AutomationError&) {
        throw;
    } catch (const css::uno::Exception& e) {
        fail(toUtf8(e.Message));
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

// Lock files beside workbooks would outlive an office that is killed and then block the
// next person who opens them; this profile is private, so the setting is too.
// Workbooks are loaded without their VBA projects: LibreOffice 7.4 ends itself when a sheet
// is inserted into an .xls whose project it loaded, and Tessaro runs no macros. The project
// of an .xls destination is put back into the saved file from the one that was opened.
void Office::Impl::configureProfile()
{
    const Reference<css::lang::XMultiServiceFactory> provider(
        services_->createInstanceWithContext("com.sun.star.configuration.ConfigurationProvider", context_),
        UNO_QUERY_THROW);
    const auto set = [&](const char* nodePath, std::initializer_list<std::pair<const char*, bool>> values) {
        css::beans::PropertyValue path;
        path.Name = "nodepath";
        path.Value <<= OUString::createFromAscii(nodePath);
        const Any arg(path);
        const Reference<css::container::XNameReplace> node(
            provider->createInstanceWithArguments("com.sun.star.configuration.ConfigurationUpdateAccess",
                                                  Sequence<Any>(&arg, 1)),
            UNO_QUERY_THROW);
        for (const auto& [name, value] : values)
            node->replaceByName(OUString::createFromAscii(name), Any(value));
        Reference<css::util::XChangesBatch>(node, UNO_QUERY_THROW)->commitChanges();
    };
    set("/org.openoffice.Office.Common/Misc", {{"UseLocking", false}});
    set("/org.openoffice.Office.Calc/Filter/Import/VBA", {{"Load", false}, {"Executable", false}});
}

bool Office::Impl::answers() noexcept
{
    if (!process_ || process_->exited() || !context_.is())
        return false;
    try {
        Deadline deadline(*this, std::chrono::seconds(5));
        return context_->getServiceManager().is();
    } catch (...) {
        return false;
    }
}

void Office::Impl::failed(const fs::path& file, const std::string& doing, const std::string& message, bool disposed,
                          const std::string& plainFailure)
{
    bool timedOut = false;
    {
        std::lock_guard lock(watchMutex_);
        timedOut = timedOut_;
    }
    if (timedOut) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(deadlineLimit_).count();
        discard();
        throw AutomationError(ErrorCode::OfficeTimedOut,
                              fmt::format("{}: LibreOffice did not finish {} within {} seconds, so it was stopped.",
                                          file.string(), doing, seconds));
    }
    if (disposed || !answers()) {
        discard();
        throw AutomationError(ErrorCode::OfficeStopped, fmt::format("{}: LibreOffice stopped unexpectedly while {}. It will "
                                                            "be started again for the next workbook.",
                                                            file.string(), doing));
    }
    if (!plainFailure.empty())
        throw AutomationError(ErrorCode::OfficeFailed, fmt::format("{}: {}", file.string(), plainFailure));
    throw AutomationError(ErrorCode::OfficeFailed,
                          fmt::format("{}: LibreOffice failed while {}{}", file.string(), doing,
                                      message.empty() ? std::string(".") : " (" + message + ")."));
}

void Office::Impl::discard() noexcept
{
    std::lock_guard lock(mutex_);
    dead_ = true;
    {
        std::lock_guard watchLock(watchMutex_);
        watched_ = nullptr;
    }
    // The bridge to a dead office only has to be dropped; disposing it talks to nobody.
    try {
        if (bridge_.is())
            bridge_->dispose();
    } catch (...) {
    }
    services_.clear();
    context_.clear();
    bridge_.clear();
    if (process_) {
        process_->end();
        process_.reset();
    }
    if (!profile_.empty()) {
        std::error_code ec;
        fs::remove_all(profile_, ec);
        profile_.clear();
    }
}

void Office::Impl::shutdown() noexcept
{
    std::lock_guard lock(mutex_);
    if (process_ && !dead_ && !process_->exited() && context_.is()) {
        try {
            Deadline deadline(*this, kStopGrace);
            css::frame::Desktop::create(context_)->terminate();
        } catch (...) {
            // The bridge goes away while the office ends; that is the normal way out.
        }
        try {
            if (bridge_.is())
                bridge_->dispose();
        } catch (...) {
        }
        process_->waitFor(kStopGrace);
    }
    discard();
    dead_ = false;
}

} // namespace tessaro::office
