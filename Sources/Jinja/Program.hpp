#pragma once
// A compiled template lowered once into a flat list of steps: text, output of an expression, a
// conditional jump, a for loop over a range of steps, an assignment to a name. The shapes chat
// templates use on every message (entries read by a literal key, comparisons with a literal, loop
// members, string concatenation, trim) become steps and operations of their own; every other node or
// expression stays a syntax tree that the interpreter renders, so the output and the errors are the
// interpreter's in every case. Names are still looked up in the scope chain when a step runs.
//
// A program is immutable once built and may be run from several threads at once.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Jinja/AST.hpp"
#include "Jinja/Environment.hpp"
#include "Jinja/Value.hpp"

namespace jinja {

class Program {
public:
    explicit Program(const std::vector<Node>& nodes);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Renders into `output` in `env`, as Interpreter::interpret(nodes, env, output) does. Call it
    // through Interpreter::interpret(program, ...), which sets up the render's stack bounds.
    void run(const EnvironmentPtr& env, std::string& output) const;

    // The room to reserve for a render's output: the largest output seen so far, within a bound, so
    // that rendering does not grow the output step by step. Shared by every thread; written only when
    // it grows.
    size_t outputHint() const { return outputHint_.load(std::memory_order_relaxed); }
    void noteOutputSize(size_t bytes) const {
        static constexpr size_t maxHint = 96 * 1024;  // under the allocator's default threshold for mapping pages
        bytes = bytes < maxHint ? bytes : maxHint;
        if (bytes > outputHint()) outputHint_.store(bytes, std::memory_order_relaxed);
    }

    // The number of nodes handed to the interpreter whole (for tests of the lowering).
    size_t interpretedNodeCount() const;

    // One operation of an expression; `Program.cpp` defines the cases.
    struct Operation;
    struct Step;

private:
    void runRange(uint32_t begin, uint32_t end, const EnvironmentPtr& env, std::string& output) const;
    void runFor(const Step& step, const EnvironmentPtr& env, std::string& output) const;

    std::vector<Node> roots_;  // keeps every node and expression the steps point into alive
    std::vector<Step> steps_;
    std::vector<Operation> operations_;
    mutable std::atomic<size_t> outputHint_{0};
    friend class ProgramBuilder;
};

}  // namespace jinja
