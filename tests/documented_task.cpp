// A server task written only against the library's documented interface:
// unsigned long stream items and answer lengths, the driver's null length
// pointer, ParseField over a form list that ends at its empty name, and
// CopyUptoDelim on a modifiable string. documented_task_test builds and runs
// it, so that these forms keep compiling and keep their meaning.
//
// Usage: documented_task <pipe name>. It writes "ready" on standard output
// once its pipe is created, serves until the terminate message, closes the
// pipe and exits 0. Each answer is an unsigned long, the length of a text,
// followed by the text with its NUL:
//   "<command name> tag=<t> id=<i> param=<p>" and fields of the command, or
//   "refused <exception name>" for a message that is not a command.
#include <stdio.h>
#include <string.h>

#include "cmd.h"
#include "except.h"
#include "mapcmd.h"
#include "os.h"
#include "runcmd.h"
#include "savcmd.h"
#include "schcmd.h"
#include "sstream.h"
#include "url.h"

// The first three items of the request, read as unsigned longs.
struct Header {
    unsigned long tag;
    unsigned long id;
    unsigned long param;
};

static int Answer(Cmd::CmdID id, Cmd* cmd, void* data) {
    Header* header = (Header*)data;
    char text[1024];
    int used = snprintf(text, sizeof text, "%s tag=%lu id=%lu param=%lu", Cmd::c_table[id].name, header->tag,
                        header->id, header->param);
    char* more = text + used;
    int room = (int)sizeof text - used;
    if (id == Cmd::CmdSave) {
        SaveCmd* save = (SaveCmd*)cmd;
        char subject[64];
        char first[64];
        if (!ParseField(subject, sizeof subject, "Subject", save->m_body)) strcpy(subject, "(none)");
        char* rest = CopyUptoDelim(first, sizeof first, save->m_path, '/', '\\');
        unsigned long bodyLen = save->m_bodyLen;
        snprintf(more, room, " Subject=%s first=%s rest=%s bodyLen=%lu", subject, first, rest, bodyLen);
    } else if (id == Cmd::CmdSearch) {
        SearchCmd* search = (SearchCmd*)cmd;
        unsigned long kind = search->m_searchKind;
        unsigned long max = search->m_max;
        snprintf(more, room, " kind=%lu text=%s max=%lu", kind, search->m_searchText, max);
    } else if (id == Cmd::CmdImageMap) {
        ImageMapCmd* map = (ImageMapCmd*)cmd;
        snprintf(more, room, " x=%d y=%d", (int)map->m_x, (int)map->m_y);
    } else if (id == Cmd::CmdRunAgent) {
        RunAgentCmd* agent = (RunAgentCmd*)cmd;
        snprintf(more, room, " query=%s", agent->m_query);
    }
    cmd->SetResults(text);
    return 1;
}

// The answer: its length as an unsigned long, then its bytes.
static void PutAnswer(SimpleStream* out, char* answer, unsigned long length) {
    *out << length;
    out->Write(answer, (int)length);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: documented_task <pipe name>\n");
        return 2;
    }
    Header header = {0, 0, 0};
    SimplePipe pipe;
    try {
        pipe.Create(argv[1], 127952, 127952);
    } catch (Exception& e) {
        fprintf(stderr, "documented_task: %s\n", Exception::c_excName[e.m_id]);
        return 1;
    }
    Cmd::RegisterHandler(Answer, &header, 0, 0);
    printf("ready\n");
    fflush(stdout);
    while (pipe.Connect()) {
        pipe.Read();
        SimpleStream* in = pipe.m_input;
        SimpleStream* out = pipe.m_output;
        out->SetEof(0);
        if (in->m_eof == in->m_begin) {  // the terminate message
            *out << (char*)"bye";
            pipe.Write();
            break;
        }
        try {
            *in >> header.tag >> header.id >> header.param;
            in->m_pos = in->m_begin;
            Cmd* cmd = Cmd::CreateCmd(*in);
            cmd->Execute();
            if (cmd->GetResults(0) == 0) cmd->SetResults((char*)"no answer");
            unsigned long length = 0;
            char* answer = cmd->GetResults(&length);
            PutAnswer(out, answer, length);
            delete cmd;
        } catch (Exception& e) {
            char text[64];
            snprintf(text, sizeof text, "refused %s", Exception::c_excName[e.m_id]);
            out->SetEof(0);
            PutAnswer(out, text, strlen(text) + 1);
        }
        pipe.Write();
        pipe.Disconnect();
    }
    pipe.Close();
    return 0;
}
