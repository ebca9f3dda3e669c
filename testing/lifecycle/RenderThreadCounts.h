#pragma once
// Counts what a thread does while it renders: heap allocations and frees, calls that can block
// (pthread locks and waits) and file I/O. A binary that links this counts for its whole life: it
// replaces operator new and delete and puts itself in front of the lock, wait and file calls. Under
// ThreadSanitizer, whose own versions of those calls it must not displace, it counts allocations
// only, through the sanitizer's allocation hooks.

namespace renderthread {

struct Counts {
    long allocations = 0;
    long blockingCalls = 0;
    long fileCalls = 0;
    bool operator==(const Counts&) const = default;
};

// Marks the calling thread as rendering (or not); only its calls are counted.
void setRendering(bool rendering);
Counts counts();
void resetCounts();
// False where only allocations can be counted.
bool countsBlockingAndFileCalls();

// Marks the calling thread as rendering for the scope.
class RenderingScope {
public:
    RenderingScope() { setRendering(true); }
    ~RenderingScope() { setRendering(false); }
    RenderingScope(const RenderingScope&) = delete;
    RenderingScope& operator=(const RenderingScope&) = delete;
};

} // namespace renderthread
