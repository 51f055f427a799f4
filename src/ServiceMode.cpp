// Service mode: the platform's system service drives the server through a message queue.
#include "ServiceMode.h"

#include "HttpListener.h"
#include "HttpService.h"
#include "Log.h"
#include "ServiceQueue.h"

#include <boost/asio/io_context.hpp>

#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <vector>

namespace net = boost::asio;

void install_signal_handler() {
    for (auto& [nSignal, handler] : g_signals)
        install_signal_handler(nSignal, handler);
}

void install_signal_handler(int signal, signal_handler_t handler) {
    struct sigaction action {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO; // no SA_RESTART: a signal must interrupt the queue's wait
    sigemptyset(&action.sa_mask);
    if (sigaction(signal, &action, nullptr) != 0)
        WriteOutput(1, "install signal handler failed\n");
}

void sigterm_handler(int /*signal*/, siginfo_t* /*info*/, void* /*context*/) {
    g_killedBySignal = true;
    g_bStop = true;
    WriteOutput(1, "SIGTERM received -> shutting down...\n");
}

namespace {

// Starts a thread that never takes SIGINT or SIGTERM, so they always cut the main thread's
// wait for the next message. The mask is inherited at creation: no window for a signal.
template <class F> std::thread StartSignalFreeThread(F&& f) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    struct Restore {
        sigset_t& mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};
    return std::thread(std::forward<F>(f));
}

// One run of service mode. The members are destroyed in reverse order: workers, the three
// strings, the listener, the I/O context, and last the queue.
class CServiceRun {
public:
    CServiceRun(const CString& programPath, const CString& addressText)
        : m_ioc(threads), m_sAddressName("Address"), m_sAddress(addressText.GetString()),
          m_sProgramPath(programPath.GetString()) {}

    int SetUp(bool addressGiven, bool hasAddress);
    void Loop();
    void CleanUp();

private:
    void Handle(int32_t code);
    void OnInit();
    void OnStart();
    void OnShutdown();
    void OnStop();
    int32_t StartWorkers();
    bool StopWorkers();
    void JoinWorkers();

    _com_ptr_t<IOvServerMessageQueue> m_pQueue;
    net::io_context m_ioc;
    std::shared_ptr<listener> m_pListener;
    _bstr_t m_sAddressName;
    _bstr_t m_sAddress;
    _bstr_t m_sProgramPath;
    std::vector<std::thread> m_workers;
    int32_t m_hrReply = SERVICE_REPLY_OK; // the status that answers the message being handled
};

int CServiceRun::SetUp(bool addressGiven, bool hasAddress) {
    int hr = ovServerMessageQueueCreate(m_pQueue, addressGiven);
    if (hr < 0) {
        WriteOutput(1, "Failed to create message queue\n");
        return hr;
    }
    if (hasAddress) {
        hr = m_pQueue->SetParameter(m_sAddressName, m_sAddress);
        if (hr < 0) {
            WriteOutput(1, "Failed to init queue address\n");
            return hr;
        }
    }
    hr = m_pQueue->InitQueue(m_sProgramPath);
    if (hr < 0) {
        WriteOutput(1, "Failed to init message queue\n");
        return hr;
    }
    m_workers.reserve(threads);
    return 0;
}

void CServiceRun::Loop() {
    int32_t nMessage = 0;
    for (;;) {
        if (g_bStop)
            return;
        if (m_pQueue->ReceiveMessage(&nMessage) < 0)
            return;
        if (g_bStop) { // a signal arrived during the wait: the message is left unanswered
            WriteOutput(1, "VelmoraService: end message loop\n");
            return;
        }
        Handle(nMessage);
    }
}

void CServiceRun::Handle(int32_t code) {
    m_hrReply = SERVICE_REPLY_OK;
    switch (code) {
    case SERVICE_MESSAGE_INIT:
        WriteOutput(1, "VelmoraService: init msg received\n");
        OnInit();
        g_serverState = SERVER_STATE_INITIALISED;
        break;
    case SERVICE_MESSAGE_START:
        WriteOutput(1, "VelmoraService: start msg received\n");
        OnStart();
        g_serverState = SERVER_STATE_STARTED;
        break;
    case SERVICE_MESSAGE_SHUTDOWN:
        WriteOutput(1, "VelmoraService: shutdown msg received\n");
        OnShutdown();
        g_serverState = SERVER_STATE_INITIALISED;
        break;
    case SERVICE_MESSAGE_STOP:
        WriteOutput(1, "VelmoraService: stop msg received\n");
        OnStop();
        g_serverState = SERVER_STATE_STOPPED;
        break;
    case SERVICE_MESSAGE_QUIT:
        WriteOutput(1, "VelmoraService: quit msg received\n");
        g_bStop = true;
        break;
    default:
        WriteOutput(1, "VelmoraService: Unknown server message receive\n");
        return;
    }
    m_pQueue->ReplyMessage(m_hrReply);
}

// The listener is replaced only while no worker runs the I/O context: workers that serve are
// stopped and joined first, and serve again once the new listener is in place. A listener of an
// earlier cycle gives up the port before the new one binds it. A listener that could not be set
// up (the port is taken) is a failed "init".
void CServiceRun::OnInit() {
    bool const bServing = StopWorkers();
    communicator.OpenZelConnection();
    if (m_pListener)
        CloseNetIoListener(m_pListener);
    CreateNetIoListener(m_pListener, m_ioc);
    if (!m_pListener->ready())
        m_hrReply = SERVICE_REPLY_FAILED;
    if (bServing)
        StartWorkers();
}

// Workers of an earlier cycle have ended (shutdown, stop, or no work): they are joined before
// the I/O context is made runnable again, which must not happen while one is still inside run().
// A "start" while workers serve adds workers.
void CServiceRun::OnStart() {
    if (m_ioc.stopped()) {
        JoinWorkers();
        m_workers.clear();
        m_ioc.restart();
    }
    m_hrReply = StartWorkers();
}

void CServiceRun::OnShutdown() {
    m_ioc.stop();
}

// Stops the I/O context first, so that running workers can end; closes the listener, so that
// new clients are refused at once instead of waiting on an accepted connection nobody serves.
void CServiceRun::OnStop() {
    m_ioc.stop();
    JoinWorkers();
    CloseNetIoListener(m_pListener);
    communicator.CloseZelConnection();
}

// Starts threads + 1 workers; a thread that can't be created fails the message, not the process.
int32_t CServiceRun::StartWorkers() {
    try {
        for (int32_t i = 0; i < threads + 1; ++i)
            m_workers.push_back(StartSignalFreeThread([this] { m_ioc.run(); }));
    } catch (const std::system_error&) {
        return SERVICE_REPLY_FAILED;
    }
    return SERVICE_REPLY_OK;
}

// Stops and joins the workers; true when they were serving. The I/O context is runnable again
// afterwards.
bool CServiceRun::StopWorkers() {
    bool bServing = false;
    for (auto& t : m_workers)
        bServing = bServing || t.joinable();
    bServing = bServing && !m_ioc.stopped();
    m_ioc.stop();
    JoinWorkers();
    m_workers.clear();
    m_ioc.restart();
    return bServing;
}

void CServiceRun::JoinWorkers() {
    for (auto& t : m_workers)
        if (t.joinable())
            t.join();
}

void CServiceRun::CleanUp() {
    bool bRunning = false;
    for (auto& t : m_workers)
        bRunning = bRunning || t.joinable();
    if (g_killedBySignal) {
        WriteOutput(1, "VelmoraService: Signal recieved\n");
        if (g_serverState == SERVER_STATE_STARTED) {
            m_ioc.stop();
            WriteOutput(1, "VelmoraService: Stopped ioc\n");
        }
        if (g_serverState >= SERVER_STATE_INITIALISED) {
            // Workers may serve in state 1 too (a second "init" while started): they are
            // stopped before they are joined.
            m_ioc.stop();
            JoinWorkers();
            communicator.CloseZelConnection();
            WriteOutput(1, "VelmoraService: Threads exited\n");
        }
    }
    // Whatever the state, workers that still run are stopped before they are joined.
    if (bRunning) {
        m_ioc.stop();
        JoinWorkers();
    }
    communicator.CloseZelConnection();
}

} // namespace

int StartFromSystemService(CString programPath, CString addressText, bool addressGiven) {
    CServiceRun run(programPath, addressText);
    int hr = run.SetUp(addressGiven, addressText.GetLength() != 0);
    if (hr < 0)
        return hr;
    run.Loop();
    run.CleanUp();
    return 0;
}
