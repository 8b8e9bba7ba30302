#pragma once

// The public facades are called on the main thread: the one that runs the main loop (any one
// thread while no loop runs). Debug builds check it at each facade entry and abort with the
// entry's name, so that an app's mistake fails loudly in development; release builds do not
// check.

namespace telvo {

// False only while a main loop runs (a run in progress, or the library's own loop thread) on
// another thread than the caller's.
bool callerMayActAsMainThread();
// Aborts, naming the entry, when the caller breaks the rule.
void checkMainThreadRule(const char* entry);

}  // namespace telvo

#ifdef NDEBUG
#define TELVO_MAIN_THREAD_ONLY(entry) ((void)0)
#else
#define TELVO_MAIN_THREAD_ONLY(entry) ::telvo::checkMainThreadRule(entry)
#endif
