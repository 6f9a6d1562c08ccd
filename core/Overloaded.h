#pragma once
// One callable made of several lambdas, for std::visit: with no catch-all among them, a variant
// alternative that none of them takes does not compile.
template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;
