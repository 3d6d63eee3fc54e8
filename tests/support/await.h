#pragma once

#include <QTest>

#include <functional>
#include <memory>
#include <optional>
#include <tuple>

namespace quillmarch::test {

template<class... T> struct Awaited {
	using type = std::tuple<T...>;
};
template<class T> struct Awaited<T> {
	using type = T;
};

// Hands `start` a completion callback taking T..., then runs the event loop
// until that callback has run or timeoutMs have passed. Returns what the
// first call carried (one value, or a tuple of several), or nothing if it
// never came. A call that comes after the wait gave up is harmless.
//
//   const auto r = awaitResult<RpcResult>(
//   	[&](auto done) { rpc.call("getStatus", {}, done); });
//   QVERIFY(r && r->ok);
template<class... T, class Start>
std::optional<typename Awaited<T...>::type> awaitResult(Start &&start,
							int timeoutMs = 5000)
{
	using Result = std::optional<typename Awaited<T...>::type>;
	const auto got = std::make_shared<Result>();
	start(std::function<void(T...)>([got](T... args) {
		if (!*got)
			got->emplace(std::move(args)...);
	}));
	(void)QTest::qWaitFor([&] { return got->has_value(); }, timeoutMs);
	return *got;
}

} // namespace quillmarch::test
