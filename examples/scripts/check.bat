@echo off
rem An examination batch file. Arguments arrive as cmd passed them: quoted ones keep
rem their quotes, and a quote inside an argument arrives doubled. Use %1 (not %~1) when
rem handing an argument on, so that cmd never sees its contents outside quotes.
set count=0
:next
if "%~1"=="" goto done
set /a count+=1
shift
goto next
:done
echo arguments including the password: %count%
rem The exit code is the launcher's own: here, the number of arguments.
exit /b %count%
