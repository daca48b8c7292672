function t = datetime(varargin)
% Stand-in for Octave 7, which lacks datetime: seconds since an epoch.
t = now() * 86400;
end
