#pragma once

// Watches the local bus from its own thread, so a stalled UI thread shows as a late answer instead
// of being hidden by the test's own event loop: /health and the widget page probed in turn, and
// /events readers whose every block is checked as it arrives. Beside them a local client that
// misbehaves: it asks for the particle image over and over and never reads an answer, so the
// soak's memory bound covers what local clients can make the bus hold.

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

class BusWatch : public QObject {
	Q_OBJECT

public:
	static constexpr int kReaders = 2;
	static constexpr int kProbeEveryMs = 250;
	static constexpr int kAnswerWithinMs = 1000;
	static constexpr int kHoarders = 64;

	BusWatch();
	~BusWatch() override;

	void start();
	// What went wrong so far (each line once), and "id@seq" of every kelp event each reader saw.
	QStringList faults() const;
	QList<QStringList> eventIds() const;
	qint64 probes() const;

private:
	void probe();
	void openReader(int index);
	void read(int index);
	void hoard();
	void fault(const QString &line);

	QThread thread;
	mutable QMutex mutex;
	QStringList faultLines;
	QList<QStringList> ids;
	qint64 probeCount = 0;

	// Thread-side state
	QTimer *probeTimer = nullptr;
	QPointer<QTcpSocket> probeSocket;
	QByteArray probeAnswer;
	QByteArray probePath;
	QElapsedTimer probeClock;
	QList<QTcpSocket *> readers;
	QList<QByteArray> buffers;
	QList<bool> headSeen;
	QList<QTcpSocket *> hoarders; // oldest first
};
