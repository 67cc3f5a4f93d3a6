%% The Erlang side of the cross-check between our PER codec and Erlang's
%% asn1 application (compiled from the exported schema with erlc -bper).
%%
%% Run as an escript with the directory of the compiled modules:
%%   escript oracle.erl DIR check FILE
%%       FILE holds lines "MODULE HEX", each an encoded MODULE.Message made
%%       by our codec; every one must decode and re-encode to the same octets.
%%   escript oracle.erl DIR generate SEED MIN FILE
%%       writes seeded random LGCP and MON messages encoded by Erlang, until
%%       every alternative of LGCP Command and Signal, and of MON Command,
%%       Response and Signal, has been drawn at least MIN times.
-module(oracle).
-mode(compile).
-export([main/1]).

main([Dir, "check", File]) ->
    setup(Dir),
    Lines = read_lines(File),
    Failures = [F || {N, Line} <- lists:zip(lists:seq(1, length(Lines)), Lines),
                     F <- [check_line(N, Line)], F =/= ok],
    io:format("erlang: ~b messages checked, ~b differ~n", [length(Lines), length(Failures)]),
    halt(case Failures of [] -> 0; _ -> 1 end);
main([Dir, "generate", Seed, Min, File]) ->
    setup(Dir),
    ok = asn1_db:dbstart(["."]),
    S = list_to_integer(Seed),
    _ = rand:seed(exsss, {S, S + 1, S + 2}),
    Lgcp = draw('LGCP', [{command, 15}, {signal, 23}], list_to_integer(Min)),
    Mon = draw('MON', [{command, 4}, {response, 4}, {signal, 1}], list_to_integer(Min)),
    Out = [[atom_to_list(M), " ", hex(B), "\n"] || {M, B} <- Lgcp ++ Mon],
    ok = file:write_file(File, Out),
    io:format("erlang: ~b LGCP and ~b MON messages written~n", [length(Lgcp), length(Mon)]),
    halt(0);
main(_) ->
    io:format(standard_error, "usage: oracle.erl DIR check FILE | DIR generate SEED MIN FILE~n", []),
    halt(2).

setup(Dir) ->
    true = code:add_patha(Dir),
    ok = file:set_cwd(Dir).

check_line(N, Line) ->
    [Mod, Hex] = string:lexemes(Line, " "),
    Module = list_to_atom(Mod),
    Ours = unhex(Hex),
    case catch Module:decode('Message', Ours) of
        {ok, Value} ->
            case catch Module:encode('Message', Value) of
                {ok, Ours} -> ok;
                Other ->
                    report(N, Mod, Hex, io_lib:format("re-encoded differently: ~p~n  value ~p", [Other, Value]))
            end;
        Other ->
            report(N, Mod, Hex, io_lib:format("does not decode: ~p", [Other]))
    end.

report(N, Mod, Hex, Why) ->
    io:format("line ~b: ~s ~s~n  ~s~n", [N, Mod, Hex, Why]),
    failed.

%% Random messages until every listed PDU alternative has been drawn Min
%% times; each alternative has a counter per selected inner alternative.
draw(Module, Pdus, Min) ->
    Wanted = lists:sum([Count || {_, Count} <- Pdus]),
    draw(Module, Pdus, Min, Wanted, #{}, [], 0).

draw(Module, _Pdus, _Min, Wanted, Seen, Acc, Tries) when Tries > 200 * Wanted ->
    io:format(standard_error, "erlang: ~s: only ~b of ~b alternatives drawn: ~p~n",
              [Module, maps:size(Seen), Wanted, maps:keys(Seen)]),
    halt(1),
    Acc;
draw(Module, Pdus, Min, Wanted, Seen, Acc, Tries) ->
    Full = maps:size(Seen) =:= Wanted andalso lists:all(fun(C) -> C >= Min end, maps:values(Seen)),
    case Full of
        true -> lists:reverse(Acc);
        false ->
            Value = asn1ct_value:from_type(Module, 'Message'),
            {ok, Bin} = Module:encode('Message', Value),
            Key = pdu_key(Value),
            Seen1 = case lists:keymember(element(1, Key), 1, Pdus) of
                        true -> maps:update_with(Key, fun(C) -> C + 1 end, 1, Seen);
                        false -> Seen
                    end,
            draw(Module, Pdus, Min, Wanted, Seen1, [{Module, Bin} | Acc], Tries + 1)
    end.

%% {pdu alternative, inner alternative} of a Message value (the PDU is its
%% last field in both modules).
pdu_key(Message) ->
    {Pdu, Inner} = element(tuple_size(Message), Message),
    {Pdu, element(1, Inner)}.

read_lines(File) ->
    {ok, Bin} = file:read_file(File),
    [L || L <- string:lexemes(binary_to_list(Bin), "\n"), L =/= ""].

hex(Bin) -> [io_lib:format("~2.16.0b", [X]) || <<X>> <= Bin].

unhex(Hex) -> << <<(list_to_integer([A, B], 16))>> || <<A, B>> <= list_to_binary(Hex) >>.
