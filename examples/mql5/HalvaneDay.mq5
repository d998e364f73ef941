//+------------------------------------------------------------------+
//| HalvaneDay.mq5: a script that walks the trader's day with        |
//| halvane.dll. Run it once with no choices: it shows today's quiz  |
//| as numbered questions. Run it again with one option letter per   |
//| question, in order (e.g. "a c b"): it sends those answers, shows |
//| the day's verdict and marks the trading day only when the        |
//| verdict allows trading. Install it into MQL5\Scripts, with       |
//| Halvane.mqh in MQL5\Include; allow DLL imports.                  |
//+------------------------------------------------------------------+
#property script_show_inputs
#include <Halvane.mqh>

input string InpUserKey = "";  // user key issued by the service
input string InpChoices = "";  // one letter per question, in order (e.g. "a c b"); empty: show the quiz

string Describe(const HalvaneOutcome outcome, const string message)
  {
   switch(outcome)
     {
      case HALVANE_OK:                return "ok";
      case HALVANE_REFUSED:           return "refused by the service: " + message;
      case HALVANE_SIGNATURE_INVALID: return "reply rejected: its signature does not verify (the DLL and the service do not share a key)";
      default:                        return "no usable answer from the service (run halvane-cli --trace, see the README)";
     }
  }

//--- Prints the quiz as numbered questions and shows it on the chart.
void ShowQuiz(const HalvaneQuestion &questions[])
  {
   string shown = "Today's quiz:";
   for(int q = 0; q < ArraySize(questions); q++)
     {
      shown += "\n" + questions[q].number + ". " + questions[q].text;
      string options[];
      const int count = StringSplit(questions[q].options, '\n', options);
      for(int o = 0; o < count; o++)
         shown += "\n     " + options[o];
     }
   string lines[];
   const int count = StringSplit(shown, '\n', lines);
   for(int i = 0; i < count; i++)
      Print(lines[i]);
   Comment(StringLen(shown) > 2000 ? StringSubstr(shown, 0, 1997) + "..." : shown);
  }

//--- Prints the verdict; true when it allows trading today.
bool ShowVerdict(const HalvaneStatus &status)
  {
   Print("Today's status: ", Describe(status.outcome, status.message));
   if(status.outcome != HALVANE_OK)
      return false;
   if(!status.completed)
     {
      Print("Today's quiz is not done yet.");
      return false;
     }
   PrintFormat("Verdict: %s, at most %.0f%% of the usual volume%s", status.readiness, status.volumePercent,
               status.drawdownHit ? "; the daily drawdown limit is hit" : "");
   const bool allowed = HalvaneTradingAllowed(status);
   Print(allowed ? "Trading is allowed today within that volume." : "No new trades today.");
   return allowed;
  }

void OnStart()
  {
   if(!TerminalInfoInteger(TERMINAL_DLLS_ALLOWED) || !MQLInfoInteger(MQL_DLLS_ALLOWED))
     {
      Print("Allow DLL imports in Tools > Options > Expert Advisors and for this script, then run it again.");
      return;
     }
   if(InpUserKey == "")
     {
      Print("Enter your user key in the script's inputs.");
      return;
     }
   const string account = IntegerToString(AccountInfoInteger(ACCOUNT_LOGIN));
   const long brokerTime = (long)TimeCurrent();
   string message, readiness, quiz, answers, problem, word;
   double percent;
   HalvaneStatus status;

   HalvaneGetTodayStatus(InpUserKey, account, brokerTime, status);
   if(status.outcome == HALVANE_OK && !status.completed)
     {
      HalvaneOutcome outcome = HalvaneGetDailyQuiz(InpUserKey, account, brokerTime, quiz, message);
      if(outcome != HALVANE_OK)
        {
         Print("Daily quiz: ", Describe(outcome, message));
         return;
        }
      HalvaneQuestion questions[];
      if(HalvaneQuizQuestions(quiz, questions) == 0)
        {
         Print("Today's quiz has no question this script can read.");
         return;
        }
      ShowQuiz(questions);
      if(InpChoices == "")
        {
         Print("Run the script again with your choices, one letter per question in order, e.g. \"a c b\".");
         return;
        }
      if(!HalvaneBuildAnswers(questions, InpChoices, answers, problem))
        {
         Print("Nothing sent: ", problem, ". Give one option letter per question, in order.");
         return;
        }
      outcome = HalvaneSubmitQuizAnswers(InpUserKey, account, answers, brokerTime, readiness, percent, message);
      Print("Answers ", answers, ": ", Describe(outcome, message));
      if(outcome != HALVANE_OK)
         return;
      HalvaneGetTodayStatus(InpUserKey, account, brokerTime, status);
     }
   if(!ShowVerdict(status))
     {
      Print("The trading day is not marked.");
      return;
     }
   const HalvaneOutcome marked = HalvaneMarkTradingDay(InpUserKey, account, word);
   Print("Trading day: ", marked == HALVANE_OK ? "marked" : Describe(marked, word));
  }
//+------------------------------------------------------------------+
