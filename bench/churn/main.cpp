// SPDX-License-Identifier: MIT
// churn: a soak driver for the lanchat hub (one thread, epoll, plain POSIX sockets).
//
// Against 127.0.0.1:PORT, until the time is up, it keeps
// - a few steady clients that stay the whole run, each sending a numbered chat line
//   now and then and checking that it gets every steady client's lines whole and in
//   order;
// - rounds of connection churn: 200 short clients one after the other (connect,
//   register, one line, wait for its echo, leave; every tenth leaves by a reset), then
//   groups of 20 that connect at once and leave in a shuffled order;
// - a random mix of extra clients: chatting, flooding, sending byte by byte, invalid
//   UTF-8, a 100,000-character line, never reading, leaving by FIN or by reset;
// - before all that, one client sending long lines (32,000 characters), for the hub's
//   memory bound.
// With --hub-pid it watches the hub's process and resident memory. It fails when the
// hub dies or stops answering, a steady line is lost, reordered or damaged, or the
// hub's memory keeps growing or passes the ceiling. Exit status 0 on PASS, 1 on FAIL.

#include "churn.h"
#include "options.h"

int main(int argc, char **argv)
{
    const auto o = churn::parseArgs(argc, argv);
    if (!o) {
        churn::usage();
        return 2;
    }
    return churn::Churn(*o).run();
}
