#pragma once

#include "link/device_link.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QStringList>

#include <functional>

namespace quillmarch::test {

// A scriptable admin pipe that plays the device's side of the RPC protocol.
// Everything handed to send() is recorded, even when the pipe is closed, and
// a closed pipe refuses with sendFailed("disconnected") like a real one. A
// responder, when set, runs inside send() and may answer at once; otherwise
// the test answers later with the same calls.
//
// No Q_OBJECT: it adds no signals, so it needs no moc run.
class FakeTransport : public RpcTransport {
public:
	using Responder = std::function<void(const QJsonObject &request)>;

	explicit FakeTransport(bool open = true, QObject *parent = nullptr)
		: RpcTransport(parent),
		  m_open(open)
	{
	}

	bool isOpen() const override { return m_open; }
	void setOpen(bool open) { m_open = open; }
	void send(const QByteArray &message) override
	{
		m_raw.append(message);
		m_sent.append(QJsonDocument::fromJson(message).object());
		if (!m_open)
			Q_EMIT sendFailed("disconnected",
					  "The fake pipe is closed");
		else if (m_responder)
			m_responder(m_sent.last());
	}
	void setResponder(Responder r) { m_responder = std::move(r); }

	const QList<QJsonObject> &sent() const { return m_sent; }
	const QList<QByteArray> &rawSent() const { return m_raw; }
	int lastId() const { return sentIds().value(m_sent.size() - 1, -1); }
	QStringList sentMethods() const
	{
		QStringList out;
		for (const QJsonObject &r : m_sent)
			out.append(r["method"].toString());
		return out;
	}
	QList<int> sentIds() const
	{
		QList<int> out;
		for (const QJsonObject &r : m_sent)
			out.append(r["id"].toInt(-1));
		return out;
	}

	// Device side. A success with an undefined result leaves "result" out.
	void replyRaw(const QByteArray &bytes) { Q_EMIT message(bytes); }
	void replyOk(int id, const QJsonValue &result = QJsonValue::Undefined)
	{
		QJsonObject m{{"id", id}, {"ok", true}};
		if (!result.isUndefined())
			m.insert("result", result);
		replyRaw(QJsonDocument(m).toJson(QJsonDocument::Compact));
	}
	void replyError(int id, const QString &code, const QString &text = {})
	{
		QJsonObject error{{"code", code}};
		if (!text.isEmpty())
			error.insert("message", text);
		const QJsonObject m{{"id", id},
				    {"ok", false},
				    {"error", error}};
		replyRaw(QJsonDocument(m).toJson(QJsonDocument::Compact));
	}
	void failSend(const QString &code, const QString &text)
	{
		Q_EMIT sendFailed(code, text);
	}

private:
	bool m_open;
	Responder m_responder;
	QList<QJsonObject> m_sent;
	QList<QByteArray> m_raw;
};

} // namespace quillmarch::test
