#include "platform/Threads.h"

TThread::~TThread() {
    Terminate();
    WaitFor();
}

void TThread::Start() {
    if (fStarted.exchange(true)) return;
    fThread = std::thread([this] { Run(); });
}

void TThread::WaitFor() {
    std::lock_guard<std::mutex> guard(fJoinLock);
    if (fThread.joinable()) fThread.join();
}

void TThread::Run() {
    try {
        Execute();
    } catch (...) {
        // An exception leaving Execute ends the thread; it must not end the program.
    }
    fFinished.store(true);
}
