#pragma once

// Watches the local bus from its own thread, so a stalled UI thread shows as a late answer instead
// of being hidden by the test's own event loop: /health and the widget page probed in turn, and
// /events readers whose every block is checked as it arrives. Beside them local clients that
// misbehave, under the bus's bound on connections: one asks for the particle image over and over
// and never reads an answer, one holds 150 streams it never reads, one resets 50 at a time.

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
	static constexpr int kHoarders = 32;
	static constexpr int kStallers = 150;
	static constexpr int kBurst = 50;
	static constexpr int kConnectsPerTurn = 20;

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
	void misbehave();
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
	QList<QTcpSocket *> stallers;
	QList<QTcpSocket *> burst;
	int burstTurn = 0;
};
