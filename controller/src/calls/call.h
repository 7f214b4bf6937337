#pragma once
// How every typed call runs: build the request (input the wire cannot carry
// is refused here, before anything is sent), ask, parse the answer.
#include <string_view>
#include <utility>

#include "qv/failure.h"
#include "qv/session.h"

namespace qv::detail {

template <class Build, class Parse>
auto call(Channel to, Build&& build, Parse&& parse) -> decltype(parse(std::string_view())) {
    Request request;
    try {
        request = build();
    } catch (const Refused& e) {
        return refused_failure(e.what());
    }
    return parse(to.ask(request));
}

}  // namespace qv::detail
