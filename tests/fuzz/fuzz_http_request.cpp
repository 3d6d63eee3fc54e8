// Requests reach the stand-ins' HTTP server from any client. Input:
//   1 byte    how many bytes arrive at a time (1 to 256)
//   then      the bytes a client sends on one connection.
// Fed at once or in pieces, the parser must hand out the same requests and
// the same refusal; every request it hands out must be well formed, and
// written back as a client would write it must read the same again.
#include "http_message.h"

#include <cstdint>
#include <cstdlib>

using namespace quillmarch::tools;

namespace {

constexpr HttpLimits kLimits{1024, 4096};

struct Outcome {
	QList<HttpRequest> requests;
	int refusal = 0;
};

Outcome parse(const QByteArray &bytes, int piece,
	      const HttpLimits &limits = kLimits)
{
	Outcome out;
	HttpRequestParser parser(limits);
	for (int at = 0; at < bytes.size() && !out.refusal; at += piece) {
		parser.feed(bytes.mid(at, piece));
		for (;;) {
			HttpRequest request;
			const auto result = parser.next(&request, &out.refusal);
			if (result != HttpRequestParser::Result::Request)
				break;
			out.requests.append(request);
		}
	}
	return out;
}

bool same(const HttpRequest &a, const HttpRequest &b)
{
	return a.method == b.method && a.target == b.target &&
	       a.path == b.path && a.version == b.version &&
	       a.headers == b.headers && a.body == b.body;
}

QByteArray written(const HttpRequest &r)
{
	QByteArray out = r.method + ' ' + r.target + ' ' + r.version + "\r\n";
	for (const HttpHeader &h : r.headers)
		out += h.first + ": " + h.second + "\r\n";
	return out + "\r\n" + r.body;
}

void check(const HttpRequest &r)
{
	if (r.method.isEmpty() || !r.path.startsWith('/') ||
	    !r.target.startsWith(r.path) ||
	    r.body.size() > kLimits.maxBodyBytes ||
	    (r.version != "HTTP/1.1" && r.version != "HTTP/1.0"))
		abort();
	// Written back with CR LF and a space after each colon, the head may
	// outgrow the limit it fitted in.
	const Outcome again = parse(written(r), 1 << 20, HttpLimits{});
	if (again.refusal || again.requests.size() != 1 ||
	    !same(again.requests.first(), r))
		abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const QByteArray bytes(reinterpret_cast<const char *>(data) + 1,
			       static_cast<int>(size - 1));
	const Outcome whole = parse(bytes, int(bytes.size()) + 1);
	const Outcome pieces = parse(bytes, data[0] + 1);
	if (whole.refusal != pieces.refusal ||
	    whole.requests.size() != pieces.requests.size())
		abort();
	for (int i = 0; i < whole.requests.size(); ++i) {
		if (!same(whole.requests.at(i), pieces.requests.at(i)))
			abort();
		check(whole.requests.at(i));
	}
	return 0;
}
