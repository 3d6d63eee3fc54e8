#include "base/settings_store.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using quillmarch::SettingsStore;

namespace {

// What the getters say, with the route and network address of one device.
QString summary(const SettingsStore &s, const QString &id)
{
	const quillmarch::LanDevice lan = s.lanDevice(id);
	return QStringList{s.selectedDevice(),
			   QString::number(s.serverEnabled()),
			   QString::number(s.serverPort()),
			   QString::number(s.serverAllowNetwork()),
			   QString::number(s.shareConnection()),
			   QString::number(s.autoCheckUpdates()),
			   QString::number(s.lastUpdateCheck()),
			   s.preferredRoute(id),
			   lan.host + " " + lan.token + " " + lan.name}
		.join('|');
}

const QString kDefaults = "|0|9001|0|1|1|0|cloud|  ";

} // namespace

class TestSettingsStore : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void init();
	void loadsAsDefaults_data();
	void loadsAsDefaults();
	void settersPersistAndReload();
	void fileIsOwnerOnlyAtomicAndWhereAsked();

private:
	QString path() const { return m_dir->filePath("settings.json"); }
	void writeFile(const QByteArray &bytes)
	{
		QFile f(path());
		QVERIFY(f.open(QIODevice::WriteOnly));
		f.write(bytes);
	}
	QJsonObject readFile() const
	{
		QFile f(path());
		if (!f.open(QIODevice::ReadOnly))
			return {};
		return QJsonDocument::fromJson(f.readAll()).object();
	}
	SettingsStore loaded() const
	{
		SettingsStore s;
		s.setPath(path());
		s.load();
		return s;
	}

	std::unique_ptr<QTemporaryDir> m_dir;
};

void TestSettingsStore::init()
{
	m_dir = std::make_unique<QTemporaryDir>();
	QVERIFY(m_dir->isValid());
}

void TestSettingsStore::loadsAsDefaults_data()
{
	QTest::addColumn<QByteArray>("content"); // empty: no file
	QTest::addColumn<bool>("unreadable");
	QTest::newRow("no file") << QByteArray() << false;
	QTest::newRow("wrong types")
		<< QByteArray(
			   R"({"selected_device": 12, "server_enabled": "yes",
		"server_port": "9100", "server_allow_network": 1,
		"share_connection": null, "auto_check_updates": "false",
		"last_update_check": "1700000000",
		"routes": {"a": 1}, "lan": {"a": "x", "b": {"host": 5}}})")
		<< false;
	QTest::newRow("non-integral port")
		<< QByteArray(R"({"server_port": 9100.5})") << false;
	QTest::newRow("array")
		<< QByteArray(R"([{"server_enabled": true}])") << true;
	QTest::newRow("truncated")
		<< QByteArray(R"({"server_enabled": tr)") << true;
	QTest::newRow("binary") << QByteArray("\x00\xff\xfe{", 4) << true;
}

void TestSettingsStore::loadsAsDefaults()
{
	QFETCH(QByteArray, content);
	QFETCH(bool, unreadable);
	if (!content.isEmpty())
		writeFile(content);
	SettingsStore s = loaded();
	QCOMPARE(summary(s, "a"), kDefaults);
	QCOMPARE(s.lanDevice("b").host, QString());
	QCOMPARE(QFile::exists(path()), !content.isEmpty());

	// The next setter writes; a file that did not parse is replaced by
	// just that setting, but survives beside it, owner-only.
	s.setServerEnabled(true);
	QCOMPARE(readFile().value("server_enabled"), QJsonValue(true));
	QFile copy(s.unreadableCopyPath());
	QCOMPARE(copy.exists(), unreadable);
	if (unreadable) {
		QCOMPARE(readFile(), QJsonObject({{"server_enabled", true}}));
		QVERIFY(copy.open(QIODevice::ReadOnly));
		QCOMPARE(copy.readAll(), content);
		QCOMPARE(copy.permissions() & (QFileDevice::ReadGroup |
					       QFileDevice::ReadOther),
			 QFileDevice::Permissions());
	}
}

void TestSettingsStore::settersPersistAndReload()
{
	writeFile(R"({"lan": {"QM-2": {"host": "10.0.0.9", "token": "t2",
		"name": "Pool", "extra": 1}}, "custom_key": "kept"})");
	SettingsStore s = loaded();
	s.setSelectedDevice("QM-7");
	s.setServerEnabled(true);
	s.setServerPort(9100);
	s.setServerAllowNetwork(true);
	s.setShareConnection(false);
	s.setAutoCheckUpdates(false);
	s.setLastUpdateCheck(1767225600);
	s.setLastUsbPort("/dev/ttyACM0");
	s.setLanDevice("QM-1", {"192.168.1.20", "tok", "Gym"});
	s.setPreferredRoute("QM-1", "lan");

	// Numbers are stored as numbers; other devices and unknown keys are
	// untouched.
	const QJsonObject onDisk = readFile();
	QCOMPARE(onDisk.value("last_usb_port"), QJsonValue("/dev/ttyACM0"));
	QVERIFY(onDisk.value("server_port").isDouble());
	QVERIFY(onDisk.value("last_update_check").isDouble());
	const QJsonObject lan = onDisk.value("lan").toObject();
	QCOMPARE(lan.value("QM-1").toObject(),
		 QJsonObject({{"host", "192.168.1.20"},
			      {"token", "tok"},
			      {"name", "Gym"}}));
	QCOMPARE(lan.value("QM-2").toObject().value("extra"), QJsonValue(1));
	QCOMPARE(onDisk.value("custom_key"), QJsonValue("kept"));

	const SettingsStore again = loaded();
	QCOMPARE(summary(again, "QM-1"),
		 "QM-7|1|9100|1|0|0|1767225600|lan|192.168.1.20 tok Gym");
	QCOMPARE(summary(again, "QM-2").section('|', 7),
		 "cloud|10.0.0.9 t2 Pool");
	QCOMPARE(again.lanDeviceIds(), (QStringList{"QM-1", "QM-2"}));

	// Re-saving a device replaces its object whole: extra members go.
	s.setLanDevice("QM-2", {"h", {}, {}});
	QCOMPARE(readFile().value("lan").toObject().value("QM-2").toObject(),
		 QJsonObject({{"host", "h"}, {"token", ""}, {"name", ""}}));

	// Check times saturate rather than overflow.
	const qint64 max = std::numeric_limits<qint64>::max();
	for (const auto &[text, seconds] :
	     {std::pair<QByteArray, qint64>{"1767225600.9", 1767225600},
	      {"1e300", max},
	      {"-1e300", std::numeric_limits<qint64>::min()}}) {
		writeFile(R"({"last_update_check": )" + text + "}");
		QCOMPARE(loaded().lastUpdateCheck(), seconds);
	}
}

void TestSettingsStore::fileIsOwnerOnlyAtomicAndWhereAsked()
{
	// Without a path settings live in memory only.
	SettingsStore memory;
	memory.load();
	memory.setServerEnabled(true);
	QCOMPARE(memory.serverEnabled(), true);
	QVERIFY(QDir(m_dir->path()).entryList(QDir::Files).isEmpty());

	writeFile(R"({"server_port": 9100})");
	QVERIFY(QFile::setPermissions(path(), QFileDevice::ReadOwner |
						      QFileDevice::WriteOwner |
						      QFileDevice::ReadOther |
						      QFileDevice::ReadGroup));
	SettingsStore s = loaded();
	s.setLanDevice("QM-1", {"h", "secret", {}});
	QCOMPARE(QFile::permissions(path()) &
			 ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
		 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
	// No temporary files are left behind.
	QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files),
		 QStringList{"settings.json"});

	// A missing directory is made on the first save.
	s.setPath(m_dir->filePath("a/b/settings.json"));
	s.load();
	s.setServerPort(9002);
	QVERIFY(QFile::exists(m_dir->filePath("a/b/settings.json")));
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settings_store.moc"
