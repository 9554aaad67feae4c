// Thread object and re-entrant lock of the decoder's stages.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

// Re-entrant lock. Satisfies BasicLockable, so std::lock_guard works with it.
class TCriticalSection {
  public:
    void Enter() { fMutex.lock(); }
    void Leave() { fMutex.unlock(); }
    bool TryEnter() { return fMutex.try_lock(); }

    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

  private:
    std::recursive_mutex fMutex;
};

// A thread that is created stopped and runs Execute once after Start.
//
// Contract: Execute reads Terminated() and returns when asked; Finished() becomes true when
// Execute has returned (also by an exception, which is swallowed here: the owner decides what a
// dead stage means). A derived object must not be destroyed while its Execute runs, because its
// own members die before this base: the owner calls Terminate and waits for Finished (or
// WaitFor) first. The destructor still requests termination and joins, as a last line of defence.
class TThread {
  public:
    TThread() = default;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    virtual ~TThread();

    // Starts the thread; a second call does nothing.
    void Start();
    void Terminate() { fTerminated.store(true); }
    bool Terminated() const { return fTerminated.load(); }
    bool Started() const { return fStarted.load(); }
    bool Finished() const { return fFinished.load(); }
    // Blocks until Execute has returned; returns at once for a thread never started.
    void WaitFor();

  protected:
    virtual void Execute() = 0;

  private:
    void Run();

    std::thread fThread;
    std::mutex fJoinLock;
    std::atomic<bool> fTerminated{false};
    std::atomic<bool> fStarted{false};
    std::atomic<bool> fFinished{false};
};
