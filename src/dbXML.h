/*
 * dbXML.h - the state store: one XML document on disk, read and written
 * whole in store cycles (construct = load, delete = save).
 */
#ifndef KELVO_DBXML_H
#define KELVO_DBXML_H

#include <stddef.h>
#include <sys/types.h>

#include <atomic>

class TiXmlDocument;

class dbXML {
public:
	/* Loads path; init, or a file that cannot be loaded, resets it. */
	dbXML(const char *path, bool init);
	/* Saves the document to its path (unless save did) and frees it. */
	virtual ~dbXML();

	/*
	 * Saves the document now, so a caller can tell whether its cycle
	 * reached the disk: false with why when it did not.  The destructor
	 * then saves nothing more.
	 */
	bool save(char *why, size_t len);

	/* Writes the default document to xml_fname. */
	void db_defaults();

	char *getValStr(const char *name);	/* null on failure */
	int setValStr(const char *name, const char *value); /* 1, or 0 */
	float getValFp(const char *name);	/* 0.0 on failure */
	int getValInt(const char *name);	/* -1 on failure */
	int setValInt(const char *name, int value);	/* 1, or 0 */
	int setValFp(const char *name, float value);	/* 1, or 0 */

	/*
	 * For the elements a document may lack (the simulation's state and
	 * faults): a lookup that says nothing when it is missing, a set that
	 * adds the element at the end of its section, and a removal.
	 */
	char *findValStr(const char *name);	/* null when missing */
	int putValStr(const char *name, const char *value); /* 1, or 0 */
	void delVal(const char *name);
	/* Replaces the loaded tree by the default document, in memory. */
	void reset();

private:
	dbXML(const dbXML &) = delete;
	dbXML &operator=(const dbXML &) = delete;

	static const mode_t NO_MODE = (mode_t)-1;

	TiXmlDocument *doc;	/* the loaded tree, saved to its own path */
	mode_t mode;		/* the file's permission bits, or NO_MODE */
	int held;		/* the file loaded, open until db_release */
	bool saved;		/* save has run: the destructor only frees */
	char buf[256];		/* failure messages, setValInt's digits */
};

/*
 * Closes the document file that the calling thread's last store cycle
 * replaced, which frees it.  Called after xml_mutex is released; a thread
 * that skips it holds at most that one file open.
 */
void db_release();

/*
 * Saves this process has made: a reader that keeps what it read can tell
 * whether any thread has saved since (a hand edit it must stat for).
 */
extern std::atomic<long> db_saves;
extern dbXML *db;		/* the store cycle in progress, under xml_mutex */
extern const char db_default_text[]; /* the document a reset writes */

#endif
