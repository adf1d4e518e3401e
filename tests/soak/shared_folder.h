// The shared-folder cycles of the crash run: two computers writing one
// database folder at once, a third reading it, tables opened by names in
// mixed letter case, scratch tables dropped, made and renamed between
// commits, and a power loss on one computer while the other goes on.
//
// A computer is a process whose file system (TComputer) has a run of the
// machine of its own: where the kernel lets a process have its own mount
// namespace, /proc/sys/kernel/random/boot_id is bound over by a file holding
// another identifier and the engine reads it as it always does; elsewhere
// the file system reports the identifier itself. Files, page cache and locks
// stay shared, as with one file server.
//
// A computer's power loss: its writes reach the shared files as it makes
// them, but only an OS flush, a close, or the release of a lock on the file
// (on COMMIT.LCK, for COMMIT.JNL) makes them the server's; at the loss every
// write since is taken back (all, none, or all after a random first one),
// before the dying computer's locks go, so no other computer can have built
// on them. That is how a client of a network file system loses what it had
// not yet sent.
//
// The database: tables "pa" and "pb", fields W (the writer, 1 or 2) and S
// (its sequence number), a unique index on both. A writer's transaction adds
// (w, s) to both tables, s one more than the last it finds; so every state
// a commit leaves holds, for each writer, the same 1..k in both tables.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace soak {

// What a table holds: per writer, its sequence numbers.
using TSequences = std::map<std::int32_t, std::set<std::int32_t>>;

// Creates the database's tables in `dir` (lower-case file names).
void CreateSharedTables(const std::string& dir);

// Whether this machine lets a process bind another boot identifier over the
// kernel's in a mount namespace of its own (tried in a child process).
bool NamespacesWork();

// The body of a writer process: writer `w` on a computer of its own, a power
// loss at its `loss_at`-th changing call when loss_at > 0 (survival 0
// nothing, 1 everything, 2 a random tail lost). Lines on `fd`: "B s" before
// a commit, "C s" once it returned, "A s <message>" when it failed, "E
// <message>" for an error outside a commit, "L" at the loss. Returns the
// exit status.
int SharedWriter(const std::string& dir, int fd, std::int32_t w, unsigned seed,
                 std::int64_t loss_at, int survival, bool use_namespace);

// The body of the reader process: reads pa, pb, pa again in a loop on a
// computer of its own and checks each round (each writer's numbers are 1..k,
// pa's first read within pb's within pa's second, no k smaller than one seen
// before). Lines: "R rounds" now and then, "F <what>" for a fault, "W" for a
// read refused with a lock failure. Runs until killed.
int SharedReader(const std::string& dir, int fd, unsigned seed, bool use_namespace);

// Both tables read as a fresh open on this machine sees them.
void ReadShared(const std::string& dir, TSequences* pa, TSequences* pb);

}  // namespace soak
