#pragma once
// The terminal front ends: one request from the command line, or a conversation at the prompt. Both use the
// agent's plain run, which prints its own progress; these print the answers.

#include <istream>
#include <ostream>
#include <string>

#include "agent/agent.hpp"
#include "runtime/runtime.hpp"
#include "utils/result.hpp"

namespace pelmox {

// Runs `task` and prints the answer box on `out`, or "[Agent error] ..." on `err`. Never fails the process.
awaitable<void> run_single_task(Agent& agent, std::string task, std::ostream& out, std::ostream& err);

// The interactive prompt until end of input or an exit command. An error for unreadable or non-UTF-8 input.
awaitable<Status> run_terminal(Agent& agent, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace pelmox
