//+------------------------------------------------------------------+
//| HalvaneSelfTest.mq4: runs the readers and decisions of           |
//| Halvane.mqh on a table of result texts and prints PASS or FAIL   |
//| per row, then "N passed, N failed". It calls no export.         |
//| Install as Halvane.mqh says, this file into MQL4\Scripts.        |
//+------------------------------------------------------------------+
#property strict
#include <Halvane.mqh>

int g_passed = 0;
int g_failed = 0;

void Report(const string what, const string got, const string expected)
  {
   const bool ok = got == expected;
   if(ok)
      g_passed++;
   else
      g_failed++;
   Print(ok ? "PASS " : "FAIL ", what, ": ", got, ok ? "" : "  (expected: " + expected + ")");
  }

string OutcomeName(const HalvaneOutcome outcome)
  {
   switch(outcome)
     {
      case HALVANE_OK:                return "OK";
      case HALVANE_REFUSED:           return "REFUSED";
      case HALVANE_SIGNATURE_INVALID: return "SIGNATURE_INVALID";
      default:                        return "ERROR";
     }
  }

//--- What the include makes of one result text, in the form the table gives.
string Describe(const string kind, const string text)
  {
   string quiz, message, readiness, word;
   double percent;
   if(kind == "quiz")
     {
      const HalvaneOutcome outcome = HalvaneReadQuiz(text, quiz, message);
      return OutcomeName(outcome) + (outcome == HALVANE_REFUSED ? " message=" + message : "");
     }
   if(kind == "answers")
     {
      const HalvaneOutcome outcome = HalvaneReadAnswers(text, readiness, percent, message);
      if(outcome == HALVANE_OK)
         return "OK readiness=" + readiness + " percent=" + DoubleToString(percent, 2);
      return OutcomeName(outcome) + (outcome == HALVANE_REFUSED ? " message=" + message : "");
     }
   if(kind == "mark")
      return OutcomeName(HalvaneReadMark(text, word)) + " word=" + word;
   HalvaneStatus status;
   string reading = OutcomeName(HalvaneReadStatus(text, status));
   if(status.outcome == HALVANE_REFUSED)
      reading += " message=" + status.message;
   else if(status.outcome == HALVANE_OK && !status.completed)
      reading += " not_completed";
   else if(status.outcome == HALVANE_OK)
      reading += " completed readiness=" + status.readiness + " percent=" + DoubleToString(status.volumePercent, 2) +
                 " drawdown=" + (status.drawdownHit ? "hit" : "clear");
   return reading + " trade=" + (HalvaneTradingAllowed(status) ? "yes" : "no");
  }

//--- One result text of the module (tests/data/e2e_cases.json in the source tree).
void Row(const string kind, const string text, const string expected)
  {
   Report(kind + " " + (StringLen(text) > 60 ? StringSubstr(text, 0, 57) + "..." : "\"" + text + "\""),
          Describe(kind, text), expected);
  }

//--- The allowed volume after a status text, for a usual volume and a symbol's step and minimum.
void VolumeRow(const string statusText, const double usual, const double step, const double minimum,
               const double expected)
  {
   HalvaneStatus status;
   HalvaneReadStatus(statusText, status);
   Report(StringFormat("volume %s, usual %.2f, step %.2f, minimum %.2f", statusText, usual, step, minimum),
          DoubleToString(HalvaneVolumeFor(status, usual, step, minimum), 8), DoubleToString(expected, 8));
  }

//--- The answers built from a quiz and the trader's choices ("" when they are refused).
void AnswersRow(const string quizJson, const string choices, const string expected)
  {
   HalvaneQuestion questions[];
   string answers, problem;
   HalvaneQuizQuestions(quizJson, questions);
   HalvaneBuildAnswers(questions, choices, answers, problem);
   Report("answers from \"" + choices + "\"", answers, expected);
  }

void OnStart()
  {
   // The module's result texts and what the include must read in each.
   Row("quiz", "{\"status\":\"success\",\"timestamp\":1700000000,\"signature\":\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\",\"quiz\":[{\"number\":1,\"question\":\"Stop set?\"}]}",
       "OK");
   Row("quiz", "SIGNATURE_INVALID",
       "SIGNATURE_INVALID");
   Row("answers", "success|caution|50",
       "OK readiness=caution percent=50.00");
   Row("status", "completed|ready|100|false",
       "OK completed readiness=ready percent=100.00 drawdown=clear trade=yes");
   Row("status", "ERROR",
       "ERROR trade=no");
   Row("mark", "success",
       "OK word=success");
   Row("mark", "",
       "ERROR word=");
   Row("quiz", "ERROR",
       "ERROR");
   Row("quiz", "passed through",
       "REFUSED message=passed through");
   Row("quiz", "\n  {\n    \"quiz\": [{\"number\": 1, \"question\": \"Stop set?\"}],\n    \"timestamp\": 1700000000,\n    \"status\": \"success\",\n    \"signature\": \"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\"\n  }\n",
       "OK");
   Row("quiz", "{\"status\": \"success\", \"timestamp\": 1700000000, \"signature\": \"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\", \"quiz\": []}",
       "OK");
   Row("quiz", "{\"quiz\":[{\"number\":1,\"question\":\"Stop set?\"}],\"signature\":\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\",\"timestamp\":1700000000,\"status\":\"success\"}",
       "OK");
   Row("status", "completed|a|b|50|true",
       "OK completed readiness=a|b percent=50.00 drawdown=hit trade=no");
   Row("status", "completed|a|b|50|false",
       "OK completed readiness=a|b percent=50.00 drawdown=clear trade=no");
   Row("status", "completed|R|50|true ",
       "OK completed readiness=R percent=50.00 drawdown=hit trade=no");
   Row("status", "completed|ready|50|false ",
       "OK completed readiness=ready percent=50.00 drawdown=hit trade=no");
   Row("status", "completed|ready|50|True",
       "OK completed readiness=ready percent=50.00 drawdown=hit trade=no");
   Row("status", "completed|ready|50|1",
       "OK completed readiness=ready percent=50.00 drawdown=hit trade=no");
   Row("status", "completed|ready|50|",
       "OK completed readiness=ready percent=50.00 drawdown=hit trade=no");
   Row("status", "completed|not_ready|0|false",
       "OK completed readiness=not_ready percent=0.00 drawdown=clear trade=no");
   Row("status", "completed|caution|50|false",
       "OK completed readiness=caution percent=50.00 drawdown=clear trade=yes");
   Row("status", "completed|ready|50abc|false",
       "OK completed readiness=ready percent=0.00 drawdown=clear trade=no");
   Row("status", "not_completed",
       "OK not_completed trade=no");
   Row("status", "unknown account",
       "REFUSED message=unknown account trade=no");
   Row("status", "SIGNATURE_INVALID",
       "SIGNATURE_INVALID trade=no");
   Row("status", "",
       "ERROR trade=no");
   Row("answers", "every question of today's quiz must be answered",
       "REFUSED message=every question of today's quiz must be answered");
   Row("answers", "success|a|b|50",
       "OK readiness=a|b percent=50.00");
   Row("mark", "already_marked",
       "REFUSED word=already_marked");

   // Decisions: the allowed volume rounds down to the step, zero below the minimum or
   // whenever trading is not allowed.
   VolumeRow("completed|ready|100|false", 1.0, 0.01, 0.01, 1.0);
   VolumeRow("completed|caution|50|false", 0.3, 0.01, 0.01, 0.15);
   VolumeRow("completed|caution|33|false", 2.5, 0.01, 0.01, 0.82);
   VolumeRow("completed|caution|50|false", 0.1, 0.1, 0.1, 0.0);
   VolumeRow("completed|caution|5|false", 0.1, 0.01, 0.01, 0.0);
   VolumeRow("completed|caution|50|false", 3.0, 1.0, 1.0, 1.0);
   VolumeRow("completed|ready|100|true", 1.0, 0.01, 0.01, 0.0);
   VolumeRow("completed|not_ready|0|false", 1.0, 0.01, 0.01, 0.0);
   VolumeRow("not_completed", 1.0, 0.01, 0.01, 0.0);
   VolumeRow("ERROR", 1.0, 0.01, 0.01, 0.0);

   // The day-walk script's answers: one valid choice per question, in the quiz's order.
   const string quiz = "{\"status\": \"success\", \"quiz\": [\n" +
                       " {\"number\": 1, \"question\": \"Stop set?\", \"options\": [{\"letter\": \"a\", \"text\": \"Yes\"}," +
                       " {\"letter\": \"b\", \"text\": \"No \\\"really\\\"\"}]},\n" +
                       " {\"number\": 2, \"question\": \"Risk?\", \"options\": [{\"letter\": \"a\", \"text\": \"1%\"}," +
                       " {\"letter\": \"b\", \"text\": \"5%\"}, {\"letter\": \"c\", \"text\": \"[10%]\"}]},\n" +
                       " {\"number\": 3, \"question\": \"Rested?\", \"options\": [{\"letter\": \"a\", \"text\": \"Yes\"}]}]}";
   AnswersRow(quiz, "b, c a", "1=b&2=c&3=a");
   AnswersRow(quiz, "B C A", "1=b&2=c&3=a");
   AnswersRow(quiz, "a a", "");
   AnswersRow(quiz, "a a a a", "");
   AnswersRow(quiz, "a d a", "");
   AnswersRow("{\"status\":\"success\",\"quiz\":[]}", "", "");

   PrintFormat("%d passed, %d failed", g_passed, g_failed);
  }
//+------------------------------------------------------------------+
