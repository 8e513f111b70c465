#include "Jinja/Macro.hpp"

#include <memory>

#include "Jinja/Error.hpp"

namespace jinja::Interpreter {

namespace {

thread_local int callDepth = 0;

// Bounds how deeply macro and caller calls nest on this thread, so runaway recursion in a template
// ends with an error rather than exhausting the stack.
class CallDepth {
public:
    CallDepth() {
        if (callDepth >= maxCallDepth) throw JinjaError::runtime("Maximum call depth exceeded");
        ++callDepth;
    }
    ~CallDepth() { --callDepth; }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;
};

void renderBody(const std::vector<Node>& nodes, const EnvironmentPtr& env, std::string& output) {
    for (const auto& node : nodes) interpretNode(node, env, output);
}

// The "caller" function of a call block. It holds its defining scope weakly: the scope always outlives
// every call made while it renders, and a strong reference would let a scope own itself through a
// stored caller.
BuiltinFunction makeCaller(const EnvironmentPtr& scope, std::shared_ptr<const std::vector<Expression>> parameters,
                           std::shared_ptr<const std::vector<Node>> body) {
    std::weak_ptr<Environment> weakScope = scope;
    return [weakScope, parameters, body](const std::vector<Value>& args, const KeywordArguments&,
                                         const EnvironmentPtr&) -> Value {
        EnvironmentPtr parent = weakScope.lock();
        if (!parent) throw JinjaError::runtime("Cannot call non-function value");
        CallDepth depth;
        EnvironmentPtr callerScope = Environment::make(parent);
        for (size_t i = 0; i < parameters->size() && i < args.size(); ++i) {
            auto name = (*parameters)[i].as<Expression::Identifier>();
            if (!name) throw JinjaError::runtime("Caller parameter must be an identifier");
            callerScope->set(name->name, args[i]);
        }
        std::string text;
        interpret(*body, callerScope, text);
        return Value(std::move(text));
    };
}

}  // namespace

void executeMacroStatement(const Statement::Macro& statement, const EnvironmentPtr& env) {
    env->set(statement.name, Value(Macro{statement.name, statement.parameters, statement.defaults, statement.body}));
}

Value callMacro(const Macro& macro, const std::vector<Value>& arguments, const KeywordArguments& keywordArguments,
                const EnvironmentPtr& env) {
    CallDepth depth;
    EnvironmentPtr scope = Environment::make(env);
    Value caller = env->lookup("caller");
    if (!caller.isUndefined()) scope->set("caller", caller);
    for (const auto& [name, expression] : macro.defaults) scope->set(name, evaluateExpression(expression, env));
    for (size_t i = 0; i < macro.parameters.size(); ++i) {
        const std::string& name = macro.parameters[i];
        scope->set(name, i < arguments.size() ? arguments[i] : scope->lookup(name));
    }
    for (const auto& [name, value] : keywordArguments) scope->set(name, value);
    std::string text;
    renderBody(macro.body, scope, text);
    return Value(std::move(text));
}

void executeCallStatement(const Statement::Call& statement, const EnvironmentPtr& env, std::string& output) {
    const Expression* callee = &statement.callable;
    const std::vector<Expression>* argExpressions = nullptr;
    const Expression::Keywords* keywordExpressions = nullptr;
    if (auto call = statement.callable.as<Expression::Call>()) {
        callee = &call->callee;
        argExpressions = &call->args;
        keywordExpressions = &call->kwargs;
    }
    Value calleeValue = evaluateExpression(*callee, env);

    EnvironmentPtr blockScope = Environment::make(env);
    auto parameters = std::make_shared<const std::vector<Expression>>(statement.callerArgs.value_or(std::vector<Expression>()));
    auto body = std::make_shared<const std::vector<Node>>(statement.body);
    blockScope->set("caller", Value(makeCaller(env, std::move(parameters), std::move(body))));

    std::vector<Value> args;
    if (argExpressions)
        for (const auto& arg : *argExpressions) args.push_back(evaluateExpression(arg, env));
    KeywordArguments kwargs;
    if (keywordExpressions)
        for (const auto& [name, expression] : *keywordExpressions) kwargs.set(name, evaluateExpression(expression, env));

    Value result;
    if (calleeValue.isFunction()) {
        blockScope->lendToFunction(calleeValue);
        result = calleeValue.asFunction()(args, kwargs, blockScope);
    } else if (calleeValue.isMacro()) {
        result = callMacro(calleeValue.asMacro(), args, kwargs, blockScope);
    } else {
        throw JinjaError::runtime("Cannot call non-function value");
    }
    std::string text = result.description();
    if (output.size() + text.size() > limits::maxOutputBytes) throw JinjaError::runtime(sizeLimitMessage);
    output += text;
}

}  // namespace jinja::Interpreter
