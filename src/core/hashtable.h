// The generic hash table and the shell's name tables: commands, functions,
// reserved words, aliases and named directories.  Tables own their entries.
#pragma once

#include <cstdio>

struct Eprog;
struct Patprog;

struct HashNode {
    HashNode *next;
    char *nam;  // permanent metafied name, owned by the entry
    int flags;
};

constexpr int NODE_DISABLED = 1;

struct HashTable;
using HashFunc = unsigned (*)(const char *);
using TableFunc = void (*)(HashTable *);
using CompareFunc = int (*)(const char *, const char *);
using AddNodeFunc = void (*)(HashTable *, char *, void *);
using GetNodeFunc = HashNode *(*)(HashTable *, const char *);
using RemoveNodeFunc = HashNode *(*)(HashTable *, const char *);
using NodeFunc = void (*)(HashNode *);
using FreeNodeFunc = void (*)(HashNode *);
using ScanFunc = void (*)(HashNode *, int);
using PrintFunc = void (*)(HashNode *, int);
using ScanTabFunc = void (*)(HashTable *, ScanFunc, int);

struct ScanStatus;

struct HashTable {
    int hsize;
    int ct;
    HashNode **nodes;
    HashFunc hash;
    TableFunc emptytable;
    TableFunc filltable;
    CompareFunc cmpnodes;
    AddNodeFunc addnode;
    GetNodeFunc getnode;
    GetNodeFunc getnode2;
    RemoveNodeFunc removenode;
    NodeFunc disablenode;
    NodeFunc enablenode;
    FreeNodeFunc freenode;
    PrintFunc printnode;
    ScanTabFunc scantab;
    ScanStatus *scan;
};

// Printing flags shared by every table's printer and the builtins.
enum : int {
    SHOW_NAMEONLY = 0x1,
    SHOW_TYPE = 0x2,
    SHOW_LIST = 0x4,
    SHOW_KV_PAIR = 0x8,
    SHOW_INCLUDEVALUE = 0x10,
    SHOW_WHENCE_CSH = 0x20,
    SHOW_WHENCE_VERBOSE = 0x40,
    SHOW_WHENCE_SIMPLE = 0x80,
    SHOW_WHENCE_FUNCDEF = 0x200,
    SHOW_WHENCE_WORD = 0x400,
};

unsigned hasher(const char *str);
HashTable *newhashtable(int size, const char *name, void *printinfo);
void deletehashtable(HashTable *ht);
void addhashnode(HashTable *ht, char *nam, void *nodeptr);
HashNode *addhashnode2(HashTable *ht, char *nam, void *nodeptr);
HashNode *gethashnode(HashTable *ht, const char *nam);
HashNode *gethashnode2(HashTable *ht, const char *nam);
HashNode *removehashnode(HashTable *ht, const char *nam);
void disablehashnode(HashNode *hn);
void enablehashnode(HashNode *hn);
void emptyhashtable(HashTable *ht);
void scanhashtable(HashTable *ht, int sorted, int flags1, int flags2, ScanFunc fn, int fnflags);
int scanmatchtable(HashTable *ht, Patprog *pprog, int flags1, int flags2, ScanFunc fn, int fnflags);

// ---- command names ----
struct CmdEntry : HashNode {
    char **name;     // dirslot: the element of path the command was found in
    char *fullpath;  // with CMD_HASHED
};
constexpr int CMD_HASHED = 2;

extern HashTable *cmdnamtab;
extern char **pathchecked;
extern char **path;  // the array form of PATH; the parameter layer owns it

void createcmdnamtable();
CmdEntry *hashcmd(char *arg0, char **pp);
void hashdir(char **dirp);
int isrelative(const char *s);
int iscom(const char *s);
int isreallycom(CmdEntry *cn);
char *findcmd(char *arg0, int docopy);
void fillcmdnamtable(HashTable *ht);
void emptycmdnamtable(HashTable *ht);

// ---- shell functions ----
struct ShellFunc : HashNode {
    Eprog *funcdef;
};
// Flags of ShellFunc read here; the rest are the parameter layer's.
enum : int {
    PM_UNDEFINED = 0x200,
    PM_TAGGED = 0x800,
    PM_UNALIASED = 0x2000,
};

extern HashTable *shfunctab;
void createshfunctable();
ShellFunc *newshfunc();

// ---- reserved words ----
struct ReservedWord : HashNode {
    int token;
};
extern HashTable *reswdtab;
// The enabled reserved word spelt by the LEN bytes at WORD (a whole
// word), or null.  The lexer asks for every word in command position, so
// this compares against the few words with the same first byte instead of
// hashing.
ReservedWord *findreswd(const char *word, size_t len);
void createreswdtable();

// ---- aliases ----
struct AliasEntry : HashNode {
    char *text;
    int inuse;  // expanding_depth: how deeply it is being expanded now
};
constexpr int ALIASF_GLOBAL = 2;
extern HashTable *aliastab;
// A bit for each first byte of an alias name ever defined.
extern uint64_t aliasinitials[4];
inline bool mayalias(const char *word)
{
    unsigned char c = static_cast<unsigned char>(*word);
    return aliasinitials[c >> 6] >> (c & 63) & 1;
}
void createaliastable();
AliasEntry *createaliasnode(char *txt, int flags);

// ---- named directories ----
struct NamedDir : HashNode {
    char *dir;
    int diff;
};
enum : int { NDF_FROM_USERDB = 2, NDF_NO_ABBREV = 4 };
extern HashTable *nameddirtab;
void createnameddirtable();
void adduserdir(const char *s, const char *t, int flags, int always);
NamedDir *finddir(const char *s);

// The trap layer makes function entries named TRAP+signal tie into traps.
struct TrapHooks {
    int (*getsignum)(const char *name);
    HashNode *(*removetrapfn)(int sig);     // unset the trap, return its function
    void (*disabletrapfn)(int sig);
    void (*enabletrapfn)(int sig, ShellFunc *fn);
};
extern TrapHooks traphooks;

// Printing helpers the table printers share.
void printshfuncnode(HashNode *hn, int printflags);
